// The fuzz targets' fake system (see host_system.h).
#include "fuzz/host_system.h"

#include <stdio.h>
#include <stdlib.h>
#include <sanitizer/asan_interface.h>
#include <zstd.h>

#include <vector>

#include "unpack/state.h"
#include "paths/build_texts.h"
#include "payload/stored.h"

// What system/syscalls.cpp, the launcher's run sequence and the packer would define.
SystemCalls sys;
const wchar_t* build_target_template() { return L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"; }
const wchar_t* build_company() { return L"Company"; }
const wchar_t* build_product() { return L"Product"; }
const wchar_t* build_version() { return L"1.2.3.4"; }
const unsigned char* stored_payload_start() { return nullptr; }
unsigned long long stored_payload_size() { return 0; }
bool stored_cached_mode() { return false; }
const unsigned char* stored_file_table() { return nullptr; }
bool stored_progress_window() { return false; }
unsigned long long stored_unpacked_size() { return 0; }
const wchar_t* build_payload_id() { return L"0123456789abcdef"; }

std::map<std::wstring, std::wstring> host_environment;
std::wstring host_temp_path = L"C:\\Users\\u\\AppData\\Local\\Temp\\";
std::wstring host_profile = L"C:\\Users\\u";
std::wstring host_local_appdata = L"C:\\Users\\u\\AppData\\Local";
DWORD host_last_error;

DWORD GetLastError(void) { return host_last_error; }

// One thread: a lock is always free, and a wait could never end.
void AcquireSRWLockExclusive(SRWLOCK *) {}
void ReleaseSRWLockExclusive(SRWLOCK *) {}
BOOL SleepConditionVariableSRW(CONDITION_VARIABLE *, SRWLOCK *, DWORD, unsigned long) {
    finding("a wait for a thread in a build that makes none");
}
void WakeConditionVariable(CONDITION_VARIABLE *) {}
void WakeAllConditionVariable(CONDITION_VARIABLE *) {}

namespace {

// With the arena on, the launcher's allocations come from it, emptied after
// each input: a deep name's folders are hundreds of heap copies of kilobytes
// each, which the sanitizer's allocator would take from fresh pages every
// time (its quarantine holds what was freed). The arena keeps the checks: a
// block is unpoisoned only while its input runs, with a poisoned gap after it.
// Only for code that never frees what it allocates (the entry loop).
constexpr size_t kArenaSize = size_t{48} << 20;
constexpr size_t kGap = 32;
alignas(64) unsigned char arena[kArenaSize];
size_t arena_used;
bool arena_on;
std::vector<void *> allocations;  // beyond the arena

void *tracked_malloc(size_t size) {
    size_t room = (size + kGap + 15) & ~size_t{15};
    if (arena_on && size < kArenaSize && room <= kArenaSize - arena_used) {
        void *block = arena + arena_used;
        arena_used += room;
        ASAN_UNPOISON_MEMORY_REGION(block, size);
        return block;
    }
    void *block = malloc(size);
    if (block != nullptr) allocations.push_back(block);
    return block;
}

// One decoder serves every input, reset to a new one's state: a frame's 2^27
// window would otherwise be allocated, and its shadow poisoned, per input.
ZSTD_DCtx_s *reused_decoder() {
    static ZSTD_DCtx *decoder = ZSTD_createDCtx();
    ZSTD_DCtx_reset(decoder, ZSTD_reset_session_and_parameters);
    return decoder;
}

// What the launcher releases stays: the arena and the list above release
// each input's blocks, and the one decoder serves the next input.
void kept_block(void *) {}
size_t kept_decoder(ZSTD_DCtx_s *) { return 0; }

// The system compares names without regard to ASCII case.
bool same_name(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i] >= L'a' && a[i] <= L'z' ? a[i] - 32 : a[i];
        wchar_t y = b[i] >= L'a' && b[i] <= L'z' ? b[i] - 32 : b[i];
        if (x != y) return false;
    }
    return true;
}

std::map<std::wstring, std::wstring>::iterator find_variable(const wchar_t *name) {
    for (auto it = host_environment.begin(); it != host_environment.end(); ++it)
        if (same_name(it->first, name)) return it;
    return host_environment.end();
}

DWORD fake_get_variable(LPCWSTR name, LPWSTR buffer, DWORD size) {
    auto found = find_variable(name);
    if (found == host_environment.end()) return 0;
    const std::wstring &value = found->second;
    if (value.size() + 1 > size) return static_cast<DWORD>(value.size() + 1);
    for (size_t i = 0; i < value.size(); ++i) buffer[i] = value[i];
    buffer[value.size()] = 0;
    return static_cast<DWORD>(value.size());
}

BOOL fake_set_variable(LPCWSTR name, LPCWSTR value) {
    auto found = find_variable(name);
    if (found != host_environment.end()) host_environment.erase(found);
    if (value != nullptr) host_environment[name] = value;
    return TRUE;
}

// Gives the length without the terminator, or the room needed with it when
// the buffer is too small (writing nothing then), as the system does.
DWORD fake_temp_path(DWORD size, LPWSTR buffer) {
    if (host_temp_path.empty()) return 0;
    if (host_temp_path.size() + 1 > size) return static_cast<DWORD>(host_temp_path.size() + 1);
    for (size_t i = 0; i < host_temp_path.size(); ++i) buffer[i] = host_temp_path[i];
    buffer[host_temp_path.size()] = 0;
    return static_cast<DWORD>(host_temp_path.size());
}

// The buffer holds MAX_PATH units; the system never gives a longer folder.
HRESULT fake_folder(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
    const std::wstring &folder = csidl == CSIDL_PROFILE ? host_profile : host_local_appdata;
    if (folder.empty()) return E_FAIL;
    size_t length = folder.size() < MAX_PATH - 1 ? folder.size() : MAX_PATH - 1;
    for (size_t i = 0; i < length; ++i) path[i] = folder[i];
    path[length] = 0;
    return S_OK;
}

void fake_clock(LPFILETIME time) {
    time->dwLowDateTime = 0x12345678u;
    time->dwHighDateTime = 0x01DA0000u;
}

BOOL fake_counter(LARGE_INTEGER *counter) {
    counter->QuadPart = 0x0123456789ABCDEFll;
    return TRUE;
}

DWORD fake_process_id() { return 4242; }

// No threads here: the entry loop then closes its files itself.
HANDLE fake_create_thread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
    return nullptr;
}

// A few of the decimal-digit blocks beyond Latin-1, enough to reach both answers.
BOOL fake_string_type(DWORD, LPCWCH units, int count, LPWORD types) {
    for (int i = 0; i < count; ++i) {
        wchar_t unit = units[i];
        bool digit = (unit >= 0x0660 && unit <= 0x0669) || (unit >= 0x0966 && unit <= 0x096F) ||
                     (unit >= 0xFF10 && unit <= 0xFF19);
        types[i] = digit ? C1_DIGIT : 0;
    }
    return TRUE;
}

}  // namespace

void use_allocation_arena() {
    ASAN_POISON_MEMORY_REGION(arena, kArenaSize);
    arena_on = true;
}

void install_host_system() {
    sys = SystemCalls{};
    sys.malloc = tracked_malloc;
    sys.ZSTD_createDCtx = reused_decoder;
    sys.free = kept_block;
    sys.ZSTD_freeDCtx = kept_decoder;
    sys.GetEnvironmentVariableW = fake_get_variable;
    sys.SetEnvironmentVariableW = fake_set_variable;
    sys.GetTempPathW = fake_temp_path;
    sys.SHGetFolderPathW = fake_folder;
    sys.GetSystemTimeAsFileTime = fake_clock;
    sys.QueryPerformanceCounter = fake_counter;
    sys.GetCurrentProcessId = fake_process_id;
    sys.CreateThread = fake_create_thread;
    sys.GetStringTypeW = fake_string_type;
    sys.GetLastError = GetLastError;
}

void release_host_allocations() {
    ASAN_POISON_MEMORY_REGION(arena, arena_used);
    arena_used = 0;
    for (void *block : allocations) free(block);
    allocations.clear();
}

void finding(const char *what) {
    fprintf(stderr, "FINDING: %s\n", what);
    abort();
}

std::wstring units_of(const unsigned char *bytes, size_t size) {
    std::wstring units;
    for (size_t i = 0; i + 1 < size; i += 2) units += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    return units;
}
