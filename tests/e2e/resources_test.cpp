// What a packed executable carries besides its payload, read back the way
// Explorer reads it: version texts, manifest and icon group; and the same
// build texts expanded by the launcher into its folder's name.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

std::wstring version_text(const std::vector<char> &block, const wchar_t *name) {
    void *value = nullptr;
    UINT length = 0;
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return L"<missing>";
    return static_cast<const wchar_t *>(value);
}

struct Resource {
    const unsigned char *data = nullptr;
    DWORD size = 0;
};

Resource find_resource(HMODULE module, const wchar_t *type, int id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) return {};
    return {static_cast<const unsigned char *>(LockResource(LoadResource(module, found))), SizeofResource(module, found)};
}

TEST(Resources, VersionTextsMatchThePackersSettings) {
    std::wstring exe = packed(L"versioned.exe");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    EXPECT_EQ(version_text(block, L"CompanyName"), L"Tarven Tests \u00c9ditions");
    EXPECT_EQ(version_text(block, L"ProductName"), L"Probe Product");
    EXPECT_EQ(version_text(block, L"FileVersion"), L"1.2.3.4");
    EXPECT_EQ(version_text(block, L"ProductVersion"), L"1.2.3.4");
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00030004u);
}

TEST(Resources, ManifestAndIconGroup) {
    HMODULE module = LoadLibraryExW(packed(L"versioned.exe").c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    Resource manifest = find_resource(module, MAKEINTRESOURCEW(24), 1);  // RT_MANIFEST
    ASSERT_NE(manifest.data, nullptr);
    std::string text(reinterpret_cast<const char *>(manifest.data), manifest.size);
    EXPECT_NE(text.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(text.find(">true</longPathAware>"), std::string::npos);
    EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    for (const char *os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(text.find(os), std::string::npos) << os;

    // GRPICONDIR: reserved, type 1, count, then 14-byte entries whose first byte is the width (0 = 256).
    Resource group = find_resource(module, MAKEINTRESOURCEW(14), 1);  // RT_GROUP_ICON
    ASSERT_NE(group.data, nullptr);
    ASSERT_GE(group.size, 6u);
    int count = group.data[4] | (group.data[5] << 8);
    ASSERT_EQ(count, 7);
    ASSERT_EQ(group.size, 6u + 14u * 7u);
    std::vector<int> sizes;
    for (int i = 0; i < count; ++i) {
        int width = group.data[6 + 14 * i];
        sizes.push_back(width == 0 ? 256 : width);
        int id = group.data[6 + 14 * i + 12] | (group.data[6 + 14 * i + 13] << 8);
        Resource image = find_resource(module, MAKEINTRESOURCEW(3), id);  // RT_ICON
        ASSERT_NE(image.data, nullptr) << "icon " << id;
        // Every size is stored as PNG: the system makes an icon of it at its size.
        int side = sizes.back();
        HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(image.data), image.size, TRUE, 0x00030000, side, side,
                                              LR_DEFAULTCOLOR);
        ASSERT_NE(icon, nullptr) << "icon " << id << " of " << side << " pixels";
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap = {};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, side);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes.front(), 16);
    EXPECT_EQ(sizes.back(), 256);
    FreeLibrary(module);
}

// The template of this build names its folder with the build texts; the
// application reports where it was started from.
TEST(Resources, BuildTextsExpandAsTheVersionResourceShowsThem) {
    std::wstring temp = scratch_folder(L"BuildTexts");
    std::wstring report = temp + L"\\report.txt";
    std::wstring exe = packed(L"versioned.exe");
    Finished run = run_program(exe, L"\"" + exe + L"\" report \"" + report + L"\"", {{L"TMP", temp}, {L"TEMP", temp}});
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    std::string library = read_report(report)["library"];
    std::string prefix = narrow(temp) + "\\Tarven Tests \xC3\x89" "ditions-Probe Product-1.2.3.4-1.2.3.4-1.2.3.4-";
    EXPECT_EQ(library.rfind(prefix, 0), 0u) << library;
}

}  // namespace
