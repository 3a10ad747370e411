// The .rsrc section writer; see resources.h. The layout of every structure is
// Windows's (winnt.h, winver.h), written here field by field.
#include "image/resources.h"

#include <algorithm>
#include <utility>

#include "host/errors.h"
#include "host/le_bytes.h"

namespace tarven {
namespace {

constexpr uint16_t kTypeIcon = 3;
constexpr uint16_t kTypeGroupIcon = 14;
constexpr uint16_t kTypeVersion = 16;
constexpr uint16_t kTypeManifest = 24;
constexpr uint16_t kLanguage = 1033;  // en-US, windres's default

constexpr size_t kIconDirSize = 6;
constexpr size_t kIconEntrySize = 16;

// A growing little-endian byte buffer.
class Bytes {
 public:
  size_t size() const { return bytes_.size(); }
  void u8(uint32_t v) { bytes_.push_back(static_cast<unsigned char>(v & 0xFF)); }
  void u16(uint32_t v) {
    u8(v);
    u8(v >> 8);
  }
  void u32(uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  void set16(size_t at, uint32_t v) {
    bytes_[at] = static_cast<unsigned char>(v & 0xFF);
    bytes_[at + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
  }
  void append(const std::vector<unsigned char>& more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
  // UTF-16LE with the terminating zero.
  void text(const std::u16string& s) {
    for (char16_t u : s) u16(u);
    u16(0);
  }
  void align(size_t n) {
    while (bytes_.size() % n != 0) bytes_.push_back(0);
  }
  std::vector<unsigned char> take() { return std::move(bytes_); }

 private:
  std::vector<unsigned char> bytes_;
};

// --- the version resource ----------------------------------------------------

// A VS_VERSIONINFO-style block: wLength, wValueLength, wType (1 text, 0
// binary), the key, its value and its children, each of the last three at a
// 4-byte boundary from the resource's start. wLength runs to the end of the
// last child without its trailing padding, as windres writes it.
struct VersionBlock {
  std::u16string key;
  std::vector<unsigned char> value;
  uint16_t value_length = 0;  // WORDs for a text, bytes for binary
  uint16_t type = 0;
  std::vector<VersionBlock> children;
};

const char* const kVersionTooLong =
    "the version information's texts are too long: together they must fit in 64 KiB";

void write_block(Bytes& out, const VersionBlock& block) {
  const size_t start = out.size();
  out.u16(0);  // wLength, set below
  out.u16(block.value_length);
  out.u16(block.type);
  out.text(block.key);
  out.align(4);
  out.append(block.value);
  for (const VersionBlock& child : block.children) {
    out.align(4);
    write_block(out, child);
  }
  const size_t length = out.size() - start;
  if (length > 0xFFFF) throw user_error(kVersionTooLong);
  out.set16(start, static_cast<uint32_t>(length));
}

VersionBlock text_value(const char16_t* key, const std::u16string& text) {
  if (text.size() + 1 > 0xFFFF) throw user_error(kVersionTooLong);
  VersionBlock block;
  block.key = key;
  Bytes value;
  value.text(text);
  block.value = value.take();
  block.value_length = static_cast<uint16_t>(text.size() + 1);  // with the terminating zero
  block.type = 1;
  return block;
}

// A block that holds only other blocks.
VersionBlock parent_block(const std::u16string& key, std::vector<VersionBlock> children) {
  VersionBlock block;
  block.key = key;
  block.type = 1;
  block.children = std::move(children);
  return block;
}

std::vector<unsigned char> version_resource(const VersionResource& v) {
  const uint32_t ms = static_cast<uint32_t>(v.numbers[0]) << 16 | v.numbers[1];
  const uint32_t ls = static_cast<uint32_t>(v.numbers[2]) << 16 | v.numbers[3];
  Bytes fixed;  // VS_FIXEDFILEINFO
  fixed.u32(0xFEEF04BD);  // dwSignature
  fixed.u32(0x10000);     // dwStrucVersion
  fixed.u32(ms);          // dwFileVersionMS, LS
  fixed.u32(ls);
  fixed.u32(ms);          // dwProductVersionMS, LS
  fixed.u32(ls);
  fixed.u32(0x3F);        // dwFileFlagsMask
  fixed.u32(0);           // dwFileFlags
  fixed.u32(0x40004);     // dwFileOS: VOS_NT_WINDOWS32
  fixed.u32(1);           // dwFileType: VFT_APP
  fixed.u32(0);           // dwFileSubtype
  fixed.u32(0);           // dwFileDateMS, LS
  fixed.u32(0);

  VersionBlock translation;
  translation.key = u"Translation";
  Bytes pair;
  pair.u16(0x0409);
  pair.u16(1200);
  translation.value = pair.take();
  translation.value_length = 4;
  // en-US, Unicode
  VersionBlock table = parent_block(u"040904B0", {text_value(u"CompanyName", v.company),
                                                  text_value(u"FileDescription", v.description),
                                                  text_value(u"FileVersion", v.version),
                                                  text_value(u"InternalName", v.internal_name)});
  // Left out when empty, so an executable packed without --copyright keeps
  // the bytes it had before the option existed.
  if (!v.copyright.empty()) table.children.push_back(text_value(u"LegalCopyright", v.copyright));
  for (const VersionBlock& block : {text_value(u"OriginalFilename", v.original_filename), text_value(u"ProductName", v.product),
                              text_value(u"ProductVersion", v.version)})
    table.children.push_back(block);
  VersionBlock strings = parent_block(u"StringFileInfo", {table});
  VersionBlock vars = parent_block(u"VarFileInfo", {translation});

  VersionBlock root;
  root.key = u"VS_VERSION_INFO";
  root.value = fixed.take();
  root.value_length = static_cast<uint16_t>(root.value.size());
  root.children = {strings, vars};
  Bytes out;
  write_block(out, root);
  return out.take();
}

// --- the icon group ----------------------------------------------------------

// GRPICONDIR with 14-byte entries naming RT_ICON ids first_id, first_id + 1...
// Like windres: the reserved byte is 0, 0 planes become 1, and 0 bits per pixel
// become the fewest bits that count the colours.
std::vector<unsigned char> group_icon_resource(const Icon& icon, uint16_t first_id) {
  Bytes out;
  out.u16(0);  // idReserved
  out.u16(1);  // idType: icon
  out.u16(static_cast<uint32_t>(icon.images.size()));
  uint32_t id = first_id;
  for (const IconImage& image : icon.images) {
    out.u8(image.width);
    out.u8(image.height);
    out.u8(image.colour_count);
    out.u8(0);
    out.u16(image.planes != 0 ? image.planes : 1);
    uint32_t bits = image.bit_count;
    if (bits == 0)
      while ((1u << bits) < image.colour_count) ++bits;
    out.u16(bits);
    out.u32(static_cast<uint32_t>(image.bytes.size()));
    out.u16(id++);
  }
  return out.take();
}

// --- the directory tree ------------------------------------------------------

struct Resource {
  uint16_t type;
  uint16_t id;
  const std::vector<unsigned char>* data;
};

constexpr size_t kDirSize = 16;        // IMAGE_RESOURCE_DIRECTORY
constexpr size_t kDirEntrySize = 8;    // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr size_t kDataEntrySize = 16;  // IMAGE_RESOURCE_DATA_ENTRY
constexpr uint32_t kSubdirectory = 0x80000000;

void directory_header(Bytes& out, size_t id_entries) {
  out.u32(0);  // Characteristics
  out.u32(0);  // TimeDateStamp: none, so the bytes depend on the inputs only
  out.u16(0);  // MajorVersion
  out.u16(0);  // MinorVersion
  out.u16(0);  // NumberOfNamedEntries
  out.u16(static_cast<uint32_t>(id_entries));
}

size_t align_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

Icon parse_icon(const std::vector<unsigned char>& bytes, const std::string& display_name) {
  auto refuse = [&](const std::string& reason) {
    return user_error(display_name + ": is not an .ico file: " + reason);
  };
  // The usual mistake: a picture given as it is. Windows reads icons only
  // from an .ico, which may hold that very PNG.
  static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= sizeof kPng && std::equal(kPng, kPng + sizeof kPng, bytes.begin()))
    throw refuse("it is a PNG image; --icon needs an .ico, which can hold it (make one with "
                 "'icotool -c -o app.ico app.png' from Debian's icoutils, or ImageMagick's "
                 "'convert app.png -define icon:auto-resize=256,48,32,16 app.ico')");
  if (bytes.size() < kIconDirSize) throw refuse("it is too short");
  if (get_le16(bytes.data() + 0) != 0 || get_le16(bytes.data() + 2) != 1)
    throw refuse(get_le16(bytes.data() + 0) == 0 && get_le16(bytes.data() + 2) == 2 ? "it holds cursors, not icons"
                                                                : "its header does not say icon (type 1)");
  const size_t count = get_le16(bytes.data() + 4);
  if (count == 0) throw refuse("it holds no images");
  if (bytes.size() < kIconDirSize + count * kIconEntrySize)
    throw refuse("it is too short for its " + std::to_string(count) + " image entries");
  Icon icon;
  icon.images.reserve(count);
  // Images are copied out one by one: entries that overlap could otherwise
  // ask for the file's size many times over (65,535 entries over one 1 MiB
  // image would be 64 GiB). Entries may share bytes, but all the images
  // together may take no more than the file holds.
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kIconDirSize + i * kIconEntrySize;
    const uint64_t size = get_le32(bytes.data() + at + 8);
    const uint64_t offset = get_le32(bytes.data() + at + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (size == 0) throw refuse(which + " has 0 bytes");
    if (offset + size > bytes.size()) throw refuse(which + " runs past the end of the file");
    total += size;
    if (total > bytes.size())
      throw refuse("its images overlap: the first " + std::to_string(i + 1) + " of them add up to more than the " +
                   std::to_string(bytes.size()) + " bytes it holds");
    IconImage image;
    image.width = bytes[at];
    image.height = bytes[at + 1];
    image.colour_count = bytes[at + 2];
    image.reserved = bytes[at + 3];
    image.planes = static_cast<uint16_t>(get_le16(bytes.data() + at + 4));
    image.bit_count = static_cast<uint16_t>(get_le16(bytes.data() + at + 6));
    image.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
    icon.images.push_back(std::move(image));
  }
  return icon;
}

std::vector<unsigned char> make_resource_section(const ResourceSet& set, uint32_t section_rva) {
  // Every resource in the directory's order: types and ids ascending.
  const std::vector<unsigned char> group = group_icon_resource(set.icon, 1);
  const std::vector<unsigned char> version = version_resource(set.version);
  std::vector<Resource> resources;
  for (size_t i = 0; i < set.icon.images.size(); ++i)
    resources.push_back({kTypeIcon, static_cast<uint16_t>(i + 1), &set.icon.images[i].bytes});
  if (!set.icon.images.empty()) resources.push_back({kTypeGroupIcon, 1, &group});
  resources.push_back({kTypeVersion, 1, &version});
  resources.push_back({kTypeManifest, 1, &set.manifest});

  // The types, each with the index of its first resource and its count.
  struct Type {
    uint16_t type;
    size_t first;
    size_t count;
  };
  std::vector<Type> types;
  for (size_t i = 0; i < resources.size(); ++i) {
    if (types.empty() || types.back().type != resources[i].type) types.push_back({resources[i].type, i, 0});
    ++types.back().count;
  }

  // Layout, depth first as GNU ld lays out windres's output: the root, then
  // each type's directory of ids followed by its resources' directories of
  // languages; then the data entries, then the data.
  size_t pos = kDirSize + types.size() * kDirEntrySize;
  std::vector<size_t> type_dir(types.size());
  std::vector<size_t> language_dir(resources.size());
  for (size_t t = 0; t < types.size(); ++t) {
    type_dir[t] = pos;
    pos += kDirSize + types[t].count * kDirEntrySize;
    for (size_t r = types[t].first; r < types[t].first + types[t].count; ++r) {
      language_dir[r] = pos;
      pos += kDirSize + kDirEntrySize;
    }
  }
  const size_t data_entries = pos;
  pos += resources.size() * kDataEntrySize;
  std::vector<size_t> data_at(resources.size());
  for (size_t r = 0; r < resources.size(); ++r) {
    data_at[r] = align_up(pos, 8);
    pos = data_at[r] + resources[r].data->size();
  }
  if (pos > 0xFFFFFFFFu - section_rva)
    throw user_error("the icon and manifest are too large for a Windows executable (" +
                     std::to_string(pos) + " bytes of resources)");
  const auto offset32 = [](size_t n) { return static_cast<uint32_t>(n); };

  Bytes out;
  directory_header(out, types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    out.u32(types[t].type);
    out.u32(kSubdirectory | offset32(type_dir[t]));
  }
  for (const Type& type : types) {
    directory_header(out, type.count);
    for (size_t r = type.first; r < type.first + type.count; ++r) {
      out.u32(resources[r].id);
      out.u32(kSubdirectory | offset32(language_dir[r]));
    }
    for (size_t r = type.first; r < type.first + type.count; ++r) {
      directory_header(out, 1);
      out.u32(kLanguage);
      out.u32(offset32(data_entries + r * kDataEntrySize));
    }
  }
  for (size_t r = 0; r < resources.size(); ++r) {
    out.u32(section_rva + offset32(data_at[r]));  // OffsetToData: an RVA
    out.u32(offset32(resources[r].data->size()));
    out.u32(0);  // CodePage
    out.u32(0);  // Reserved
  }
  for (size_t r = 0; r < resources.size(); ++r) {
    out.align(8);
    out.append(*resources[r].data);
  }
  return out.take();
}

namespace {

const char kLevelAttribute[] = "requestedExecutionLevel level=\"";

// Where the text of the execution level starts in `manifest`, and its length; npos when absent.
std::pair<size_t, size_t> level_text(const std::string& manifest) {
  const size_t at = manifest.find(kLevelAttribute);
  if (at == std::string::npos) return {std::string::npos, 0};
  const size_t start = at + sizeof kLevelAttribute - 1;
  const size_t end = manifest.find('"', start);
  if (end == std::string::npos) return {std::string::npos, 0};
  return {start, end - start};
}

// The resource `type`'s first id and language: its bytes' place in `section`,
// or {0, 0} when the directory does not lead to bytes inside it.
std::pair<size_t, size_t> find_resource(const std::vector<unsigned char>& section, uint32_t section_rva, uint16_t type) {
  const auto entries = [&](size_t dir) -> std::pair<size_t, size_t> {  // first entry, count
    if (dir + kDirSize > section.size()) return {0, 0};
    const size_t count = size_t{get_le16(section.data() + dir + 12)} + get_le16(section.data() + dir + 14);
    if (count > (section.size() - dir - kDirSize) / kDirEntrySize) return {0, 0};
    return {dir + kDirSize, count};
  };
  // The root's entry for `type`, then the first entry of each level below.
  size_t next = 0;
  for (int depth = 0; depth < 3; ++depth) {
    const auto [first, count] = entries(next);
    size_t chosen = 0;
    for (size_t i = 0; i < count && !chosen; ++i)
      if (depth > 0 || get_le32(section.data() + first + i * kDirEntrySize) == type) chosen = first + i * kDirEntrySize;
    if (!chosen) return {0, 0};
    const uint32_t target = static_cast<uint32_t>(get_le32(section.data() + chosen + 4));
    const bool subdirectory = (target & kSubdirectory) != 0;
    if (subdirectory != (depth < 2)) return {0, 0};
    next = target & ~kSubdirectory;
  }
  if (next + kDataEntrySize > section.size()) return {0, 0};
  const uint32_t rva = static_cast<uint32_t>(get_le32(section.data() + next));
  const uint32_t size = static_cast<uint32_t>(get_le32(section.data() + next + 4));
  if (rva < section_rva || rva - section_rva > section.size() || size > section.size() - (rva - section_rva))
    return {0, 0};
  return {rva - section_rva, size};
}

// The text values of a version block's descendants, keyed by name; stops at
// the first block whose lengths leave its parent.
void read_version_block(const unsigned char* bytes, size_t at, size_t end, int depth,
                        std::vector<std::pair<std::u16string, std::u16string>>& texts) {
  if (depth > 4 || at + 6 > end) return;
  const size_t length = get_le16(bytes + at), value_length = get_le16(bytes + at + 2), type = get_le16(bytes + at + 4);
  if (length < 6 || length > end - at) return;
  const size_t block_end = at + length;
  size_t p = at + 6;
  std::u16string key;
  while (p + 2 <= block_end && get_le16(bytes + p) != 0) {
    key.push_back(static_cast<char16_t>(get_le16(bytes + p)));
    p += 2;
  }
  p = (p + 2 + 3) & ~size_t{3};
  const size_t value_bytes = type == 1 ? value_length * 2 : value_length;
  if (p > block_end || value_bytes > block_end - p) return;
  if (type == 1 && value_length > 0) {
    std::u16string value;
    for (size_t i = 0; i + 1 < value_length; ++i) value.push_back(static_cast<char16_t>(get_le16(bytes + p + 2 * i)));
    texts.emplace_back(key, value);
    return;
  }
  p = (p + value_bytes + 3) & ~size_t{3};
  while (p + 6 <= block_end) {
    const size_t child = get_le16(bytes + p);
    if (child < 6) return;
    read_version_block(bytes, p, block_end, depth + 1, texts);
    p = (p + child + 3) & ~size_t{3};
  }
}

}  // namespace

std::vector<unsigned char> manifest_with_level(const std::vector<unsigned char>& manifest, const std::string& level) {
  if (level != "asInvoker" && level != "highestAvailable" && level != "requireAdministrator")
    throw user_error("--execution-level '" + level + "': must be asInvoker, highestAvailable or requireAdministrator");
  std::string text(manifest.begin(), manifest.end());
  const auto [at, length] = level_text(text);
  if (at == std::string::npos) throw failure("the manifest tarven-pack carries has no requestedExecutionLevel");
  text.replace(at, length, level);
  return std::vector<unsigned char>(text.begin(), text.end());
}

ResourceTexts read_resource_texts(const std::vector<unsigned char>& section, uint32_t section_rva) {
  ResourceTexts result;
  if (const auto [at, size] = find_resource(section, section_rva, kTypeManifest); size) {
    const std::string manifest(section.begin() + static_cast<std::ptrdiff_t>(at),
                               section.begin() + static_cast<std::ptrdiff_t>(at + size));
    const auto [start, length] = level_text(manifest);
    if (start != std::string::npos) result.execution_level = manifest.substr(start, length);
  }
  if (const auto [at, size] = find_resource(section, section_rva, kTypeVersion); size) {
    std::vector<std::pair<std::u16string, std::u16string>> texts;
    read_version_block(section.data(), at, at + size, 0, texts);
    for (const auto& [key, value] : texts) {
      if (key == u"FileDescription") result.description = value;
      if (key == u"LegalCopyright") result.copyright = value;
    }
  }
  return result;
}

}  // namespace tarven
