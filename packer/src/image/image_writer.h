// Writes a finished executable from a launcher image, without any tool: the
// launcher's sections as they are (moved to the chosen file alignment), its
// slots filled, then a `.payload` section (the stored payload, the four texts
// and the entries' digests, read-only data) and a `.rsrc` section, and the
// headers that describe them (sizes, resource directory, checksum, no time
// stamp). The stored payload is streamed into its place while it is packed.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/file_io.h"
#include "image/launcher_texts.h"
#include "pack/byte_sink.h"

namespace tarven {

// The file alignment for a payload made from `data_bytes` of files: Wine
// (and Windows for the pages it shares with the file cache) maps images
// aligned to pages without reading them whole; small images stay small.
uint32_t choose_file_alignment(uint64_t data_bytes);

// Bytes of a `.rsrc` section for a section placed at the given RVA.
using ResourceMaker = std::function<std::vector<unsigned char>(uint32_t section_rva)>;

class ExecutableWriter : public ByteSink {
 public:
  // Checks the launcher image (a failure naming what is wrong: it is the
  // packer's own, so a damaged one is a broken installation) and moves `out`
  // to where the stored payload goes.
  // With `name_payload`, the stored payload's id is computed as it passes
  // and stored for the launcher ({PAYLOAD_ID}, the cached mode).
  ExecutableWriter(OutputFile& out, const std::vector<unsigned char>& launcher, uint32_t file_alignment,
                   bool name_payload = false);

  // The stored payload, in pieces, in order.
  void write(const void* data, size_t n) override;

  // Writes the rest and the headers; `out` is complete but not closed.
  void finish(const LauncherTexts& texts, const ResourceMaker& resources);

  // The stored payload's id (16 lowercase hex digits), once it is written;
  // empty unless the payload is named.
  std::u16string payload_id() const;

  // Bytes of stored payload written so far.
  uint64_t payload_size() const { return payload_size_; }

 private:
  struct Section;
  OutputFile& out_;
  std::vector<unsigned char> head_;  // headers and the launcher's sections, laid out
  uint32_t file_alignment_;
  uint32_t section_alignment_ = 0;
  uint32_t pe_offset_ = 0;
  uint32_t optional_offset_ = 0;
  uint32_t table_offset_ = 0;
  uint32_t headers_size_ = 0;
  uint16_t section_count_ = 0;
  uint32_t slots_offset_ = 0;   // in head_
  uint32_t next_rva_ = 0;       // the first free RVA after the launcher's sections
  uint64_t payload_offset_ = 0; // in the file
  uint64_t payload_size_ = 0;
  bool name_payload_ = false;
  uint64_t id_state_ = 0xCBF29CE484222325ull;  // FNV-1a over the stored payload
  uint32_t checksum_ = 0;       // of everything written after head_, as 16-bit words
  bool odd_ = false;            // a byte is waiting for its partner in checksum_
  unsigned char pending_ = 0;

  void add_checksum(const unsigned char* data, size_t n);
  void put(const void* data, size_t n);
};

}  // namespace tarven
