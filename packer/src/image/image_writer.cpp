// The executable writer; see image_writer.h.
#include "image/image_writer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "contract/contract.h"
#include "host/errors.h"
#include "host/le_bytes.h"
#include "image/pe_checksum.h"
#include "image/pe_image.h"
#include "pack/entry_digest.h"

namespace tarven {
namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kReadOnlyData = 0x40000040;  // initialized data, readable
constexpr uint32_t kCodeFlag = 0x20;
constexpr uint32_t kInitializedDataFlag = 0x40;
// Offsets in the PE32+ optional header.
constexpr uint32_t kSizeOfCode = 0x04, kSizeOfInitializedData = 0x08, kSectionAlignment = 0x20,
                   kFileAlignment = 0x24, kOsVersion = 0x28, kSubsystemVersion = 0x30, kSizeOfImage = 0x38, kSizeOfHeaders = 0x3C,
                   kDirectoryCount = 0x6C, kDirectories = 0x70;

uint64_t align_up(uint64_t v, uint32_t a) { return (v + a - 1) / a * a; }

[[noreturn]] void broken(const std::string& what) {
  throw failure("the launcher image inside tarven-pack " + what + " (a damaged installation?)");
}

}  // namespace

uint32_t choose_file_alignment(uint64_t data_bytes) { return data_bytes >= (uint64_t{4} << 20) ? 4096 : 512; }

ExecutableWriter::ExecutableWriter(OutputFile& out, const std::vector<unsigned char>& launcher,
                                   uint32_t file_alignment, bool name_payload)
    : out_(out), file_alignment_(file_alignment), name_payload_(name_payload) {
  const unsigned char* in = launcher.data();
  const size_t size = launcher.size();
  if (size < 64 || in[0] != 'M' || in[1] != 'Z') broken("is not a PE image");
  pe_offset_ = get_le32(in + 0x3C);
  if (uint64_t{pe_offset_} + 24 + 0x70 + 16 * 8 > size || std::memcmp(in + pe_offset_, "PE\0\0", 4) != 0)
    broken("has no PE header");
  if (get_le16(in + pe_offset_ + 4) != 0x8664) broken("is not for x86-64");
  section_count_ = get_le16(in + pe_offset_ + 6);
  const uint16_t optional_size = get_le16(in + pe_offset_ + 20);
  optional_offset_ = pe_offset_ + 24;
  const unsigned char* opt = in + optional_offset_;
  if (get_le16(opt) != 0x20B || optional_size < kDirectories + 16 * 8 || get_le32(opt + kDirectoryCount) < 16)
    broken("is not a PE32+ image with 16 data directories");
  for (uint32_t d : {kResourceDirectoryIndex, kCertificateDirectoryIndex, kDebugDirectoryIndex})
    if (get_le32(opt + kDirectories + d * 8 + 4) != 0) broken("already holds resources, a signature or debug data");
  section_alignment_ = get_le32(opt + kSectionAlignment);
  table_offset_ = optional_offset_ + optional_size;
  const uint64_t table_end = table_offset_ + uint64_t{section_count_} * kSectionHeaderSize;
  if (table_end > size) broken("has a truncated section table");

  // Room for two more section headers before the first section's pages.
  const uint64_t headers = align_up(table_end + 2 * kSectionHeaderSize, file_alignment_);
  uint32_t lowest_rva = UINT32_MAX;
  for (uint16_t i = 0; i < section_count_; ++i)
    lowest_rva = std::min(lowest_rva, get_le32(in + table_offset_ + i * kSectionHeaderSize + 12));
  if (headers > lowest_rva) broken("has no room for two more section headers");

  headers_size_ = static_cast<uint32_t>(headers);
  head_.assign(in, in + table_end);
  head_.resize(headers, 0);
  bool found_slots = false;
  for (uint16_t i = 0; i < section_count_; ++i) {
    const size_t entry_at = table_offset_ + size_t{i} * kSectionHeaderSize;
    const unsigned char* entry = head_.data() + entry_at;
    const uint32_t virtual_size = get_le32(entry + 8), rva = get_le32(entry + 12);
    const uint32_t raw_size = get_le32(entry + 16), raw_offset = get_le32(entry + 20);
    // What the file holds of the section: the loader fills the rest with zeros.
    const uint32_t length = virtual_size ? std::min(raw_size, virtual_size) : raw_size;
    if (length && uint64_t{raw_offset} + length > size) broken("has a section past its end");
    const uint64_t at = head_.size();
    if (length) {
      head_.insert(head_.end(), in + raw_offset, in + raw_offset + length);
      head_.resize(align_up(head_.size(), file_alignment_), 0);
    }
    // head_ grew: the entry is found again, not through a pointer from before.
    put_le32(head_.data() + entry_at + 16, length ? static_cast<uint32_t>(align_up(length, file_alignment_)) : 0);
    put_le32(head_.data() + entry_at + 20, length ? static_cast<uint32_t>(at) : 0);
    next_rva_ = std::max<uint32_t>(next_rva_, static_cast<uint32_t>(align_up(
                                                  uint64_t{rva} + std::max(virtual_size, raw_size), section_alignment_)));
    if (std::strncmp(reinterpret_cast<const char*>(head_.data() + entry_at), TARVEN_SLOTS_SECTION, 8) == 0) {
      if (length < kSlotsSize || std::memcmp(head_.data() + at, kSlotsMagic, sizeof kSlotsMagic) != 0)
        broken("has no slots in its " TARVEN_SLOTS_SECTION " section");
      slots_offset_ = static_cast<uint32_t>(at);
      found_slots = true;
    }
  }
  if (!found_slots) broken("has no " TARVEN_SLOTS_SECTION " section");
  payload_offset_ = head_.size();
  out_.seek(payload_offset_);
}

void ExecutableWriter::add_checksum(const unsigned char* data, size_t n) {
  uint64_t sum = checksum_;
  size_t i = 0;
  if (odd_ && n) {
    sum += static_cast<uint32_t>(pending_) | (static_cast<uint32_t>(data[0]) << 8);
    odd_ = false;
    i = 1;
  }
  const size_t even = (n - i) & ~size_t{1};
  sum += word_sum(data + i, even);
  i += even;
  if (i < n) {
    pending_ = data[i];
    odd_ = true;
  }
  checksum_ = fold_checksum(sum);
}

void ExecutableWriter::put(const void* data, size_t n) {
  out_.write(data, n);
  add_checksum(static_cast<const unsigned char*>(data), n);
}

void ExecutableWriter::write(const void* data, size_t n) {
  put(data, n);
  payload_size_ += n;
  if (name_payload_) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint64_t state = id_state_;
    for (size_t i = 0; i < n; ++i) state = (state ^ bytes[i]) * 0x100000001B3ull;
    id_state_ = state;
  }
}

std::u16string ExecutableWriter::payload_id() const {
  if (!name_payload_) return u"";
  std::u16string id;
  for (int shift = 60; shift >= 0; shift -= 4) id.push_back(u"0123456789abcdef"[(id_state_ >> shift) & 0xF]);
  return id;
}

void ExecutableWriter::finish(const LauncherTexts& texts, const ResourceMaker& resources) {
  const uint32_t payload_rva = next_rva_;
  // What follows the stored payload in its section is laid out in memory
  // first: the resources' place, and so their bytes and digest, depend on
  // its length, and the digest goes in front of the id and the file table.
  std::vector<unsigned char> tail;
  auto length = [&] { return payload_size_ + tail.size(); };
  auto pad_to = [&](uint64_t boundary) {
    while (length() % boundary) tail.push_back(0);
  };
  // The texts: UTF-16LE, each closed by a zero unit, at even offsets.
  pad_to(2);
  auto put_text = [&](const std::u16string& text) {
    const uint32_t rva = static_cast<uint32_t>(payload_rva + length());
    for (char16_t unit : text) {
      tail.push_back(static_cast<unsigned char>(unit & 0xFF));
      tail.push_back(static_cast<unsigned char>(unit >> 8));
    }
    tail.push_back(0);
    tail.push_back(0);
    return rva;
  };
  uint32_t text_rvas[4];
  const std::u16string* fields[] = {&texts.target_template, &texts.company, &texts.product, &texts.version};
  for (int i = 0; i < 4; ++i) text_rvas[i] = put_text(*fields[i]);
  // For verify: the entries' digests (the marker at the next 8-byte boundary,
  // the count, one per entry), then the resources' digest behind its marker.
  size_t resource_digest_at = 0;
  if (texts.has_digests) {
    pad_to(8);
    const size_t at = tail.size();
    tail.resize(at + 16 + texts.digests.size() * 8 + 16);
    std::memcpy(tail.data() + at, kDigestMarker, 8);
    put_le64(tail.data() + at + 8, texts.digests.size());
    for (size_t i = 0; i < texts.digests.size(); ++i) put_le64(tail.data() + at + 16 + i * 8, texts.digests[i]);
    resource_digest_at = tail.size() - 16;
    std::memcpy(tail.data() + resource_digest_at, kResourceDigestMarker, 8);
  }
  const std::u16string id = payload_id();
  const uint32_t id_rva = id.empty() ? 0 : put_text(id);
  // The cached mode's file table (its layout is the launcher's, in contract.h).
  uint32_t table_rva = 0;
  if (texts.cached) {
    pad_to(8);
    table_rva = static_cast<uint32_t>(payload_rva + length());
    const uint32_t count = static_cast<uint32_t>(texts.files.size());
    std::vector<unsigned char> table(align_up(4 + 4 * uint64_t{count}, 8));
    put_le32(table.data(), count);
    for (uint32_t i = 0; i < count; ++i) {
      const auto& [name, size] = texts.files[i];
      put_le32(table.data() + 4 + 4 * i, static_cast<uint32_t>(table.size()));
      const size_t at = table.size();
      table.resize(align_up(at + 12 + 2 * name.size(), 8), 0);
      put_le64(table.data() + at, size);
      put_le32(table.data() + at + 8, static_cast<uint32_t>(name.size()));
      for (size_t k = 0; k < name.size(); ++k) {
        table[at + 12 + 2 * k] = static_cast<unsigned char>(name[k] & 0xFF);
        table[at + 12 + 2 * k + 1] = static_cast<unsigned char>(name[k] >> 8);
      }
    }
    tail.insert(tail.end(), table.begin(), table.end());
  }
  if (payload_rva + align_up(length(), section_alignment_) > UINT32_MAX / 2)
    throw failure(out_.name() + ": the payload is too large for a Windows executable");
  const uint32_t payload_virtual = static_cast<uint32_t>(length());
  pad_to(file_alignment_);
  const uint32_t payload_raw = static_cast<uint32_t>(length());

  const uint32_t resource_rva = static_cast<uint32_t>(align_up(uint64_t{payload_rva} + payload_virtual, section_alignment_));
  std::vector<unsigned char> rsrc = resources(resource_rva);
  const uint32_t resource_size = static_cast<uint32_t>(rsrc.size());
  if (resource_digest_at) put_le64(tail.data() + resource_digest_at + 8, resource_digest(rsrc.data(), rsrc.size()));
  put(tail.data(), tail.size());
  rsrc.resize(align_up(rsrc.size(), file_alignment_), 0);
  const uint64_t resource_offset = payload_offset_ + payload_raw;
  put(rsrc.data(), rsrc.size());
  const uint64_t file_size = resource_offset + rsrc.size();

  // The two new sections' headers.
  const struct {
    const char* name;
    uint32_t virtual_size, rva, raw_size;
    uint64_t raw_offset;
  } added[] = {{".payload", payload_virtual, payload_rva, payload_raw, payload_offset_},
               {".rsrc", resource_size, resource_rva, static_cast<uint32_t>(rsrc.size()), resource_offset}};
  for (int i = 0; i < 2; ++i) {
    unsigned char* entry = head_.data() + table_offset_ + (section_count_ + i) * kSectionHeaderSize;
    std::memset(entry, 0, kSectionHeaderSize);
    std::memcpy(entry, added[i].name, std::strlen(added[i].name));
    put_le32(entry + 8, added[i].virtual_size);
    put_le32(entry + 12, added[i].rva);
    put_le32(entry + 16, added[i].raw_size);
    put_le32(entry + 20, static_cast<uint32_t>(added[i].raw_offset));
    put_le32(entry + 36, kReadOnlyData);
  }
  const uint16_t count = static_cast<uint16_t>(section_count_ + 2);
  head_[pe_offset_ + 6] = static_cast<unsigned char>(count & 0xFF);
  head_[pe_offset_ + 7] = static_cast<unsigned char>(count >> 8);
  put_le32(head_.data() + pe_offset_ + 8, 0);  // no time stamp: the same inputs give the same bytes
  uint64_t code = 0, data = 0;
  for (uint16_t i = 0; i < count; ++i) {
    const unsigned char* entry = head_.data() + table_offset_ + i * kSectionHeaderSize;
    const uint32_t flags = get_le32(entry + 36), raw = get_le32(entry + 16);
    if (flags & kCodeFlag) code += raw;
    if (flags & kInitializedDataFlag) data += raw;
  }
  unsigned char* opt = head_.data() + optional_offset_;
  put_le32(opt + kSizeOfCode, static_cast<uint32_t>(code));
  put_le32(opt + kSizeOfInitializedData, static_cast<uint32_t>(data));
  put_le32(opt + kFileAlignment, file_alignment_);
  put_le32(opt + kSizeOfHeaders, headers_size_);
  put_le32(opt + kSizeOfImage, static_cast<uint32_t>(align_up(uint64_t{resource_rva} + resource_size, section_alignment_)));
  put_le32(opt + kDirectories + kResourceDirectoryIndex * 8, resource_rva);
  put_le32(opt + kDirectories + kResourceDirectoryIndex * 8 + 4, resource_size);
  put_le32(opt + kCheckSumField, 0);
  // Windows gives programs marked older than 6.0 legacy window metrics (a
  // packed GUI would size its windows unlike the same program built
  // normally); the manifest names no older system anyway.
  for (uint32_t field : {kOsVersion, kSubsystemVersion}) {
    put_le16(opt + field, 6);
    put_le16(opt + field + 2, 0);
  }

  // The slots: where the launcher finds its payload and texts.
  unsigned char* slots = head_.data() + slots_offset_;
  put_le64(slots + offsetof(TarvenSlots, payload_size), payload_size_);
  put_le32(slots + offsetof(TarvenSlots, payload_rva), payload_rva);
  put_le32(slots + offsetof(TarvenSlots, target_template_rva), text_rvas[0]);
  put_le32(slots + offsetof(TarvenSlots, company_rva), text_rvas[1]);
  put_le32(slots + offsetof(TarvenSlots, product_rva), text_rvas[2]);
  put_le32(slots + offsetof(TarvenSlots, version_rva), text_rvas[3]);
  put_le32(slots + offsetof(TarvenSlots, payload_id_rva), id_rva);
  put_le32(slots + offsetof(TarvenSlots, file_table_rva), table_rva);
  put_le32(slots + offsetof(TarvenSlots, flags),
           (texts.cached ? kSlotsCached : 0) | (texts.progress_window ? kSlotsProgressWindow : 0));
  put_le64(slots + offsetof(TarvenSlots, unpacked_size), texts.unpacked_size);

  // The checksum: the one's-complement sum of the file's words (its own
  // field counted as zero) plus the file's length.
  uint64_t sum = checksum_;
  if (odd_) sum += pending_;
  sum += word_sum(head_.data(), head_.size());
  put_le32(opt + kCheckSumField, static_cast<uint32_t>(fold_checksum(sum) + file_size));

  out_.seek(0);
  out_.write(head_.data(), head_.size());
}

}  // namespace tarven
