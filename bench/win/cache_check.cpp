// The cached mode's check alone, under Wine: the launcher's own
// cache_folder_is_whole() (cache/cache_check.cpp, from the launcher's archive)
// listing an unpacked tree and comparing it with a file table made here from
// that tree, as the packer would store it.
// Usage: cache-check FOLDER RUNS
// prints "check_us=<median of RUNS> files=<files in the table>"
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_check.h"
#include "paths/build_texts.h"
#include "payload/stored.h"

// What an executable's slots give the launcher's objects, which name them.
const unsigned char *stored_payload_start() { return nullptr; }
unsigned long long stored_payload_size() { return 0; }
bool stored_cached_mode() { return true; }
const unsigned char *stored_file_table() { return nullptr; }
const wchar_t *build_target_template() { return L"{TEMP}"; }
const wchar_t *build_company() { return L""; }
const wchar_t *build_product() { return L""; }
const wchar_t *build_version() { return L""; }
const wchar_t *build_payload_id() { return L"0000000000000000"; }

namespace {

using File = std::pair<std::wstring, uint64_t>;

void walk(const std::wstring &root, const std::wstring &relative, std::vector<File> *files) {
    WIN32_FIND_DATAW found;
    std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        // The marker naming the publishing executable is the launcher's, not the payload's.
        if (name == L"." || name == L".." || (relative.empty() && name == L".tarven-publisher")) continue;
        std::wstring inner = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) walk(root, inner, files);
        else files->emplace_back(inner, (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void put32(std::vector<unsigned char> &out, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The table's layout (contract/contract.h): count, offsets, 8-byte aligned records.
std::vector<unsigned char> make_table(const std::vector<File> &files) {
    std::vector<unsigned char> table((4 + 4 * files.size() + 7) / 8 * 8);
    put32(table, 0, files.size(), 4);
    for (size_t i = 0; i < files.size(); ++i) {
        put32(table, 4 + 4 * i, table.size(), 4);
        size_t at = table.size();
        table.resize((at + 12 + 2 * files[i].first.size() + 7) / 8 * 8);
        put32(table, at, files[i].second, 8);
        put32(table, at + 8, files[i].first.size(), 4);
        for (size_t k = 0; k < files[i].first.size(); ++k) put32(table, at + 12 + 2 * k, files[i].first[k], 2);
    }
    return table;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) return 2;
    std::vector<File> files;
    walk(argv[1], L"", &files);
    if (files.empty()) return 3;
    std::sort(files.begin() + 1, files.end());
    std::vector<unsigned char> table = make_table(files);
    std::vector<double> times;
    LARGE_INTEGER hz, start, end;
    QueryPerformanceFrequency(&hz);
    for (int run = 0; run < _wtoi(argv[2]); ++run) {
        QueryPerformanceCounter(&start);
        bool whole = cache_folder_is_whole(argv[1], table.data());
        QueryPerformanceCounter(&end);
        if (!whole) return 4;
        times.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(hz.QuadPart));
    }
    std::sort(times.begin(), times.end());
    printf("check_us=%.1f files=%zu\n", times[times.size() / 2], files.size());
    return 0;
}
