// An executable damaged on its way to the user (a bit flipped in a download,
// a failing disk) never starts its application: the launcher decodes the
// payload's frame to its end, where the packer's content checksum is
// tested, before it starts its child. (Frames of other encoders without a
// checksum still run: the corpus's rows that reach the application are such
// frames.)
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

uint64_t le64(const std::string &bytes, size_t at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void write_file(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    CloseHandle(file);
}

TEST(DamagedExecutable, NoOneByteDamageInsideTheFrameStartsTheApplication) {
    std::wstring root = scratch_folder(L"damaged");
    std::wstring temp = root + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    auto run = [&](const std::wstring &exe, const std::wstring &report) {
        return run_program(exe, L"\"" + exe + L"\" report \"" + report + L"\"", {{L"TEMP", temp}, {L"TMP", temp}});
    };

    const std::wstring original = packed(L"damage.exe");
    Finished sound = run(original, root + L"\\sound.txt");
    ASSERT_EQ(sound.exit_code, 0u) << sound.standard_output << sound.standard_error;
    ASSERT_TRUE(exists(root + L"\\sound.txt"));

    // The frame: after the marker "WEQ" and zstd's magic, up to the trailer,
    // which holds the number of stored bytes in front of it.
    const std::string bytes = read_file(narrow(original));
    const size_t marker = bytes.find(std::string("WEQ\x28\xB5\x2F\xFD", 7));
    ASSERT_NE(marker, std::string::npos);
    size_t trailer = marker + 7;
    while (trailer + 8 <= bytes.size() && le64(bytes, trailer) != trailer - marker) ++trailer;
    ASSERT_LE(trailer + 8, bytes.size()) << "no trailer after the frame";
    // Past the frame header (magic, descriptor, window): blocks and the checksum.
    const size_t first = marker + 3 + 6, length = trailer - first;
    ASSERT_GT(length, 100000u) << "the payload is meant to span many blocks";

    uint32_t state = 12345;
    for (int i = 0; i < 24; ++i) {
        state = state * 1103515245u + 12345u;
        // Spread over the frame, its last bytes (the checksum itself) included.
        size_t at = i == 23 ? trailer - 1 : first + (length / 24) * i + (state >> 8) % (length / 24);
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 << (state % 8)));
        std::wstring exe = root + L"\\damaged-" + std::to_wstring(i) + L".exe";
        write_file(exe, damaged);
        std::wstring report = root + L"\\report-" + std::to_wstring(i) + L".txt";
        Finished seen = run(exe, report);
        SCOPED_TRACE("byte " + std::to_string(at - first) + " of " + std::to_string(length) + " after the frame header");
        EXPECT_EQ(seen.exit_code, 2u) << seen.standard_output << seen.standard_error;
        EXPECT_FALSE(exists(report)) << "the application ran";
        // A name damaged into one the file system refuses is reported as such;
        // any other damage when the frame is tested.
        bool refused = seen.standard_error.rfind("Error, failed to open '", 0) == 0;
        if (!refused) {
            EXPECT_EQ(seen.standard_output, "Error, couldn't decode attached data.\n") << seen.standard_error;
        }
    }
}

}  // namespace
