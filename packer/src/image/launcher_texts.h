// What build stores beside the payload: the four texts the launcher reads as
// NUL-terminated UTF-16, the entries' digests for verify, and for the cached
// mode the payload id and the file table (list/verify read them back).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarven {

struct LauncherTexts {
  std::u16string target_template;
  std::u16string company;
  std::u16string product;
  std::u16string version;
  // After the texts, for verify only: the entries' digests (none for a raw payload).
  std::vector<uint64_t> digests;
  bool has_digests = false;
  // Right after them, for verify: the digest of the `.rsrc` section's bytes.
  bool has_resource_digest = false;
  uint64_t resource_digest = 0;
  // The cached mode: unpacked once into the folder the payload id names.
  bool cached = false;
  // 16 lowercase hex digits naming the stored payload; empty when not stored.
  std::u16string payload_id;
  // The cached mode's files (name, size): the entry first, the rest sorted.
  std::vector<std::pair<std::u16string, uint64_t>> files;
};

}  // namespace tarven
