// The floor of unpacking under Wine: a GUI program that loads the payload's
// decoded entry stream into memory, then writes the same tree with the
// launcher's file calls (CreateDirectoryW once per folder; CreateFileW,
// WriteFile in 32768-byte chunks, CloseHandle per file), and nothing else.
// Usage: tree-writer STREAM TARGET [--scanner]
// --scanner: each close of a written file costs 1 ms more, as under the
// simulated scanner of the benchmark's launcher build (scanner.cpp).
// Prints "entry_qpc=.. loaded_qpc=.. written_qpc=..": the driver takes the
// process start (entry - its CreateProcess) plus the writes (written - loaded);
// the loading is what a launcher does by decoding, counted by zstd -d instead.
#include <windows.h>

#include <stdint.h>
#include <wchar.h>
#include <stdio.h>
#include <string>
#include <unordered_set>

namespace {

int64_t now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

unsigned char *load(const wchar_t *path, size_t *size) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER length;
    GetFileSizeEx(file, &length);
    auto *data = static_cast<unsigned char *>(
        VirtualAlloc(nullptr, static_cast<size_t>(length.QuadPart), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    size_t done = 0;
    while (data != nullptr && done < static_cast<size_t>(length.QuadPart)) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(static_cast<size_t>(length.QuadPart) - done, 1u << 30));
        if (!ReadFile(file, data + done, want, &got, nullptr) || got == 0) return nullptr;
        done += got;
    }
    CloseHandle(file);
    *size = done;
    return data;
}

std::unordered_set<std::wstring> created;

bool make_folder(const std::wstring &path) {
    if (created.count(path)) return true;
    size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos && cut > 2 && !make_folder(path.substr(0, cut))) return false;
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    created.insert(path);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    int64_t entry = now();
    if (argc != 3 && !(argc == 4 && wcscmp(argv[3], L"--scanner") == 0)) return 2;
    bool scanner = argc == 4;
    size_t size = 0;
    const unsigned char *stream = load(argv[1], &size);
    if (stream == nullptr) return 3;
    int64_t loaded = now();

    std::wstring target = argv[2];
    if (!make_folder(target)) return 4;
    size_t at = 0;
    for (;;) {
        std::wstring name;
        while (at + 2 <= size && (stream[at] | stream[at + 1]) != 0) {
            name += static_cast<wchar_t>(stream[at] | (stream[at + 1] << 8));
            at += 2;
        }
        at += 2;
        if (name.empty()) break;
        if (at + 8 > size) return 5;
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i) length = (length << 8) | stream[at + i];
        at += 8;
        if (length > size - at) return 5;
        std::wstring path = target + L"\\" + name;
        if (!make_folder(path.substr(0, path.rfind(L'\\')))) return 6;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 7;
        for (uint64_t done = 0; done < length;) {
            DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(length - done, 32768));
            DWORD written = 0;
            if (!WriteFile(file, stream + at + done, chunk, &written, nullptr) || written != chunk) return 8;
            done += chunk;
        }
        if (scanner) Sleep(1);
        CloseHandle(file);
        at += length;
    }
    int64_t written = now();
    char line[160];
    snprintf(line, sizeof line, "entry_qpc=%lld loaded_qpc=%lld written_qpc=%lld\n", static_cast<long long>(entry),
             static_cast<long long>(loaded), static_cast<long long>(written));
    DWORD count = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(strlen(line)), &count, nullptr);
    return 0;
}
