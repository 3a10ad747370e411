// The .rsrc section writer: .ico refusals, and the section it makes read back
// with a small walk of its own (directory tree, data entries, version block).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/errors.h"
#include "image/resources.h"
#include "test_support.h"

namespace tarven {
namespace {

using Bytes = std::vector<unsigned char>;

const std::filesystem::path kIcoPath =
    std::filesystem::path(__FILE__).parent_path() / ".." / "resources" / "tarven.ico";

Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint32_t u16(const Bytes& b, size_t at) {
  EXPECT_LE(at + 2, b.size());
  if (at + 2 > b.size()) return 0;
  return b[at] | b[at + 1] << 8;
}

uint32_t u32(const Bytes& b, size_t at) { return u16(b, at) | u16(b, at + 2) << 16; }

void put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8 & 0xFF));
}

void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

// An .ico header and one entry per {size, offset}, then `tail`.
std::string ico(uint32_t type, std::vector<std::pair<uint32_t, uint32_t>> images, const std::string& tail) {
  std::string s;
  put16(s, 0);
  put16(s, type);
  put16(s, static_cast<uint32_t>(images.size()));
  for (auto [size, offset] : images) {
    s += std::string("\x10\x10\x00\x00", 4);
    put16(s, 1);
    put16(s, 32);
    put32(s, size);
    put32(s, offset);
  }
  return s + tail;
}

std::string refusal(const std::string& bytes) {
  try {
    parse_icon(to_bytes(bytes), "my.ico");
  } catch (const Failure& f) {
    EXPECT_EQ(f.exit_code(), kExitUsage);
    return f.what();
  }
  return "(accepted)";
}

TEST(ResourceIcon, RefusesWhatIsNotAnIcoFile) {
  const std::string head = "my.ico: is not an .ico file: ";
  EXPECT_EQ(refusal(""), head + "it is too short");
  EXPECT_EQ(refusal(std::string("\0\0\1\0\1", 5)), head + "it is too short");
  EXPECT_EQ(refusal(ico(2, {{4, 22}}, "abcd")), head + "it holds cursors, not icons");
  EXPECT_EQ(refusal("MZ" + ico(1, {{4, 22}}, "abcd")), head + "its header does not say icon (type 1)");
  EXPECT_EQ(refusal(ico(1, {}, "")), head + "it holds no images");
  EXPECT_EQ(refusal(ico(1, {{4, 38}, {4, 42}}, "").substr(0, 30)), head + "it is too short for its 2 image entries");
  EXPECT_EQ(refusal(ico(1, {{4, 38}, {4, 42}}, "abcdef")), head + "image 2 of 2 runs past the end of the file");
  EXPECT_EQ(refusal(ico(1, {{4, 22}}, std::string(3, 'x'))), head + "image 1 of 1 runs past the end of the file");
  EXPECT_EQ(refusal(ico(1, {{0xFFFFFFFF, 0xFFFFFFFF}}, "x")), head + "image 1 of 1 runs past the end of the file");
  EXPECT_EQ(refusal(ico(1, {{4, 22}, {0, 26}}, "abcd")), head + "image 2 of 2 has 0 bytes");
  EXPECT_EQ(refusal(ico(1, {{4, 22}, {2, 24}}, "abcd")), "(accepted)");  // images may overlap
  // ... but not add up to more than the file: 65,535 entries over one 1 MiB
  // image are refused at the second, not read as 64 GiB.
  const uint32_t images_at = 6 + 65535 * 16;
  const std::string many = ico(1, std::vector<std::pair<uint32_t, uint32_t>>(65535, {1u << 20, images_at}),
                               std::string(1u << 20, 'x'));
  EXPECT_EQ(refusal(many), head + "its images overlap: the first 2 of them add up to more than the " +
                               std::to_string(many.size()) + " bytes it holds");
}

// A resource directory's id entries: {id, offset or subdirectory}.
std::vector<std::pair<uint32_t, uint32_t>> entries(const Bytes& s, uint32_t at) {
  EXPECT_EQ(u16(s, at + 12), 0u) << "named entries at " << at;
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (uint32_t i = 0; i < u16(s, at + 14); ++i) out.push_back({u32(s, at + 16 + 8 * i), u32(s, at + 20 + 8 * i)});
  return out;
}

bool contains_utf16(const Bytes& data, const std::u16string& text) {
  Bytes needle;
  for (char16_t u : text) {
    needle.push_back(static_cast<unsigned char>(u & 0xFF));
    needle.push_back(static_cast<unsigned char>(u >> 8));
  }
  return std::search(data.begin(), data.end(), needle.begin(), needle.end()) != data.end();
}

TEST(ResourceSection, ReadsBackWithAnIndependentWalk) {
  const Bytes file = to_bytes(tarven_test::read_file(kIcoPath));
  ResourceSet set;
  set.icon = parse_icon(file, "tarven.ico");
  ASSERT_EQ(set.icon.images.size(), 7u);
  set.manifest = to_bytes("<?xml version=\"1.0\"?>\n<assembly/>\n");
  set.version = {{1, 2, 3, 4}, u"Çà 日本", u"Prod", u"1.2.3.4-beta", u"Desc", u"(c) 日本", u"out 日本.exe", u"out"};
  const uint32_t rva = 0x63000;
  const Bytes s = make_resource_section(set, rva);

  // The .ico's own images, read from its directory here.
  std::vector<Bytes> images;
  for (size_t i = 0; i < 7; ++i) {
    const uint32_t size = u32(file, 6 + 16 * i + 8), offset = u32(file, 6 + 16 * i + 12);
    images.emplace_back(file.begin() + offset, file.begin() + offset + size);
  }
  size_t png = 0;
  for (const Bytes& image : images) png += image.size() > 4 && image[1] == 'P' && image[2] == 'N' && image[3] == 'G';
  EXPECT_EQ(png, 7u);  // every size is PNG

  // Walks type -> id -> language -> data entry, the data by its RVA.
  const auto types = entries(s, 0);
  ASSERT_EQ(types.size(), 4u);
  const uint32_t expected_types[] = {3, 14, 16, 24};
  Bytes group, version, manifest;
  for (size_t t = 0; t < 4; ++t) {
    EXPECT_EQ(types[t].first, expected_types[t]);
    ASSERT_TRUE(types[t].second & 0x80000000u);
    const auto ids = entries(s, types[t].second & 0x7FFFFFFF);
    ASSERT_EQ(ids.size(), t == 0 ? 7u : 1u);
    for (size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(ids[i].first, i + 1);
      ASSERT_TRUE(ids[i].second & 0x80000000u);
      const auto languages = entries(s, ids[i].second & 0x7FFFFFFF);
      ASSERT_EQ(languages.size(), 1u);
      EXPECT_EQ(languages[0].first, 1033u);
      ASSERT_FALSE(languages[0].second & 0x80000000u);
      const uint32_t entry = languages[0].second;
      const uint32_t data_rva = u32(s, entry), size = u32(s, entry + 4);
      EXPECT_EQ(u32(s, entry + 8), 0u) << "code page";
      ASSERT_GE(data_rva, rva);
      ASSERT_LE(data_rva - rva + uint64_t{size}, s.size());
      EXPECT_EQ((data_rva - rva) % 4, 0u);
      const Bytes data(s.begin() + (data_rva - rva), s.begin() + (data_rva - rva + size));
      if (t == 0) {
        EXPECT_TRUE(data == images[i]) << "icon image " << i + 1;
      }
      if (t == 1) group = data;
      if (t == 2) version = data;
      if (t == 3) manifest = data;
    }
  }

  // GRPICONDIR: 7 entries of 14 bytes naming RT_ICON 1..7 and their sizes.
  ASSERT_EQ(group.size(), 6u + 7 * 14);
  EXPECT_EQ(u16(group, 2), 1u);
  EXPECT_EQ(u16(group, 4), 7u);
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(u32(group, 6 + 14 * i + 8), images[i].size());
    EXPECT_EQ(u16(group, 6 + 14 * i + 12), i + 1);
  }

  EXPECT_EQ(u16(version, 0), version.size()) << "wLength is the whole resource";
  EXPECT_EQ(u16(version, 2), 52u) << "VS_FIXEDFILEINFO's size";
  EXPECT_TRUE(contains_utf16(version, std::u16string(u"VS_VERSION_INFO") + u'\0'));
  EXPECT_EQ(u32(version, 40), 0xFEEF04BDu);
  EXPECT_EQ(u32(version, 48), 0x10002u);  // file version 1.2.3.4
  EXPECT_EQ(u32(version, 52), 0x30004u);
  for (const char16_t* text : {u"StringFileInfo", u"040904B0", u"CompanyName", u"Çà 日本", u"ProductVersion",
                               u"1.2.3.4-beta", u"OriginalFilename", u"out 日本.exe", u"LegalCopyright", u"(c) 日本", u"VarFileInfo", u"Translation"})
    EXPECT_TRUE(contains_utf16(version, std::u16string(text) + u'\0')) << "missing a text";
  EXPECT_TRUE(contains_utf16(version, u"\u0409\u04B0"));  // Translation 0x0409, 1200

  EXPECT_TRUE(manifest == set.manifest);
  // What list reads back from the same bytes, and nothing from a cut section.
  const ResourceTexts texts = read_resource_texts(s, rva);
  EXPECT_EQ(texts.description, u"Desc");
  EXPECT_EQ(texts.copyright, u"(c) 日本");
  for (size_t cut : {size_t{0}, size_t{20}, s.size() / 2}) {
    const ResourceTexts none = read_resource_texts(Bytes(s.begin(), s.begin() + cut), rva);
    EXPECT_TRUE(none.copyright.empty() && none.execution_level.empty()) << cut;
  }
}

}  // namespace
}  // namespace tarven
