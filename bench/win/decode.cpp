// Decoding alone, under Wine, with the launcher's own decoder: tells the
// decoder's share of the start-up from the file writes'.
// Usage: decode-only --reader|--raw PAYLOAD
//   --reader  the launcher's payload reader (payload/reader.cpp, from the kit)
//             walks the entry records and reads every file's data in the
//             launcher's 32768-byte chunks, writing nothing
//   --raw     ZSTD_decompressStream straight into a 131072-byte buffer, the
//             way zstd's own command line tool decodes
// The stored payload (marker, frame, trailer) is loaded into memory first;
// prints "decode_us=.. bytes=.." for the decoding alone.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "contract/contract.h"
#include "payload/reader.h"

// What an executable's slots give the launcher's objects, which name them.
// This program hands its payload to open_payload_at().
const unsigned char* stored_payload_start() { return nullptr; }
unsigned long long stored_payload_size() { return 0; }
bool stored_cached_mode() { return false; }
const unsigned char* stored_file_table() { return nullptr; }
bool stored_progress_window() { return false; }
unsigned long long stored_unpacked_size() { return 0; }
const wchar_t* build_payload_id() { return L"0123456789abcdef"; }
const wchar_t* build_target_template() { return L"{TEMP}"; }
const wchar_t* build_company() { return L""; }
const wchar_t* build_product() { return L""; }
const wchar_t* build_version() { return L""; }

namespace {

int64_t now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

bool load(const wchar_t *path, std::vector<unsigned char> *data) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    data->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < data->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(data->size() - done, 1u << 30));
        if (!ReadFile(file, data->data() + done, want, &got, nullptr) || got == 0) return false;
        done += got;
    }
    CloseHandle(file);
    return true;
}

uint64_t read_with_reader(const std::vector<unsigned char> &payload) {
    open_payload_at(payload.data(), payload.size() - 8);
    static unsigned char chunk[32768];
    uint64_t total = 0;
    for (;;) {
        size_t units = 0;
        for (;; ++units) {
            unsigned char unit[2];
            read_payload_bytes(unit, 2);
            if ((unit[0] | unit[1]) == 0) break;
        }
        // At the end record the launcher decodes to the frame's end and waits
        // for its checksum's test.
        if (units == 0) {
            if (finish_payload_frame() != PayloadStatus::ok) total = 0;
            break;
        }
        unsigned char size_bytes[8];
        read_payload_bytes(size_bytes, 8);
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | size_bytes[i];
        for (uint64_t left = size; left > 0;) {
            uint64_t n = left < sizeof chunk ? left : sizeof chunk;
            read_payload_bytes(chunk, n);
            left -= n;
        }
        total += size;
    }
    close_payload();
    return total;
}

uint64_t read_raw(const std::vector<unsigned char> &payload) {
    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    static unsigned char window[131072];
    ZSTD_inBuffer input = {payload.data() + 3, payload.size() - 11, 0};
    uint64_t total = 0;
    for (;;) {
        ZSTD_outBuffer output = {window, sizeof window, 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) return 0;
        total += output.pos;
        if (result == 0 && output.pos < sizeof window) break;
    }
    ZSTD_freeDCtx(decoder);
    return total;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) return 2;
    std::vector<unsigned char> payload;
    if (!load(argv[2], &payload) || payload.size() < 11) return 3;
    bool reader = std::wstring(argv[1]) == L"--reader";
    int64_t start = now();
    uint64_t bytes = reader ? read_with_reader(payload) : read_raw(payload);
    int64_t end = now();
    LARGE_INTEGER hz;
    QueryPerformanceFrequency(&hz);
    char line[128];
    snprintf(line, sizeof line, "decode_us=%.1f bytes=%llu\n",
             1e6 * static_cast<double>(end - start) / static_cast<double>(hz.QuadPart),
             static_cast<unsigned long long>(bytes));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    return bytes == 0 ? 4 : 0;
}
