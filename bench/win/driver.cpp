// The benchmark's timing driver, run under wine64: starts a Windows program
// with its standard output on a pipe and times it with QueryPerformanceCounter
// from just before CreateProcessW to the first byte on that pipe and to the
// program's end. In --memory mode it also reads the program's own peak
// working set and private bytes (GetProcessMemoryInfo on its handle) once the
// program has printed "memory-end", and then closes the program's standard
// input, which releases it; until then a thread samples the program's
// committed private memory (VirtualQueryEx over its address space, walk
// after walk: the memory runs time nothing), whose peak is the commit charge that the start asked of the
// machine.
//
// Usage: bench-driver [--repeat N] [--memory] [--temp DIR] -- PROGRAM [ARGS...]
// Prints per run: "run=I first_us=.. exit_us=.. code=.. create_qpc=.. qpc_hz=.."
// then "out=LINE" for each line the program wrote, and in --memory mode
// "parent_peak_ws=.. parent_ws=.. parent_private=.." and
// "parent_peak_commit=.. parent_commit_samples=..".
#include <windows.h>
#include <psapi.h>

#include <stdint.h>
#include <stdio.h>
#include <string>

namespace {

int64_t now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

std::wstring quoted(const wchar_t *argument) { return L"\"" + std::wstring(argument) + L"\""; }

void print_lines(const std::string &text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        printf("out=%s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

void print_memory(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters), sizeof counters))
        printf("parent_peak_ws=%llu parent_ws=%llu parent_private=%llu\n",
               static_cast<unsigned long long>(counters.PeakWorkingSetSize),
               static_cast<unsigned long long>(counters.WorkingSetSize),
               static_cast<unsigned long long>(counters.PrivateUsage));
    else
        printf("parent_memory_error=%lu\n", GetLastError());
}

// The program's committed private memory now: the regions VirtualQueryEx
// reports as committed and private, summed over its address space.
uint64_t committed_private(HANDLE process) {
    uint64_t sum = 0;
    MEMORY_BASIC_INFORMATION info;
    uintptr_t at = 0;
    while (VirtualQueryEx(process, reinterpret_cast<void *>(at), &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) sum += info.RegionSize;
        uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return sum;
}

struct CommitSampler {
    HANDLE process;
    volatile LONG stop;
    uint64_t peak;
    unsigned samples;
};

DWORD WINAPI sample_commit(void *argument) {
    auto *sampler = static_cast<CommitSampler *>(argument);
    while (!sampler->stop) {
        uint64_t now_committed = committed_private(sampler->process);
        if (now_committed > sampler->peak) sampler->peak = now_committed;
        ++sampler->samples;
    }
    return 0;
}

// One run; false when the program could not be started.
bool run_once(int index, const std::wstring &program, const std::wstring &command_line, bool memory) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE out_read, out_write, in_read, in_write;
    if (!CreatePipe(&out_read, &out_write, &inheritable, 0) || !CreatePipe(&in_read, &in_write, &inheritable, 0))
        return false;
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = out_write;
    std::wstring line = command_line;
    PROCESS_INFORMATION process = {};

    int64_t created = now();
    BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(out_write);
    CloseHandle(in_read);
    if (!started) {
        fprintf(stderr, "bench-driver: cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
        return false;
    }
    if (!memory) CloseHandle(in_write);
    CommitSampler sampler = {process.hProcess, 0, 0, 0};
    HANDLE sampling = memory ? CreateThread(nullptr, 0, sample_commit, &sampler, 0, nullptr) : nullptr;

    std::string output;
    int64_t first = 0;
    bool released = !memory;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(out_read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        if (first == 0) first = now();
        output.append(buffer, got);
        if (!released && output.find("memory-end\n") != std::string::npos) {
            sampler.stop = 1;
            if (sampling != nullptr) WaitForSingleObject(sampling, INFINITE);
            print_memory(process.hProcess);
            printf("parent_peak_commit=%llu parent_commit_samples=%u\n",
                   static_cast<unsigned long long>(sampler.peak), sampler.samples);
            CloseHandle(in_write);
            released = true;
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    int64_t ended = now();
    sampler.stop = 1;
    if (sampling != nullptr) {
        WaitForSingleObject(sampling, INFINITE);
        CloseHandle(sampling);
    }
    if (!released) CloseHandle(in_write);
    if (first == 0) first = ended;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    LARGE_INTEGER hz;
    QueryPerformanceFrequency(&hz);
    printf("run=%d first_us=%.1f exit_us=%.1f code=%lu create_qpc=%lld qpc_hz=%lld\n", index,
           1e6 * static_cast<double>(first - created) / static_cast<double>(hz.QuadPart),
           1e6 * static_cast<double>(ended - created) / static_cast<double>(hz.QuadPart), code,
           static_cast<long long>(created), static_cast<long long>(hz.QuadPart));
    print_lines(output);
    fflush(stdout);
    CloseHandle(out_read);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    int repeat = 1;
    bool memory = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--repeat" && i + 1 < argc) {
            repeat = _wtoi(argv[++i]);
        } else if (option == L"--memory") {
            memory = true;
        } else if (option == L"--temp" && i + 1 < argc) {
            SetEnvironmentVariableW(L"TEMP", argv[i + 1]);
            SetEnvironmentVariableW(L"TMP", argv[++i]);
        } else if (option == L"--") {
            ++i;
            break;
        } else {
            fprintf(stderr, "bench-driver: unknown option %ls\n", argv[i]);
            return 2;
        }
    }
    if (i >= argc) {
        fputs("usage: bench-driver [--repeat N] [--memory] [--temp DIR] -- PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    std::wstring program = argv[i];
    std::wstring command_line = quoted(argv[i]);
    for (int j = i + 1; j < argc; ++j) command_line += L" " + quoted(argv[j]);
    for (int run = 0; run < repeat; ++run)
        if (!run_once(run, program, command_line, memory)) return 1;
    return 0;
}
