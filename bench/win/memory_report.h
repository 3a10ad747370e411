// Memory figures a measured Windows process reports about itself, and the
// pause that keeps it alive while the driver reads its parent's figures.
// Shared by the benchmark application and the bare self-start program.
#pragma once

#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

static void bench_write(const char *text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

// Prints "<who>_peak_ws=.. <who>_ws=.. <who>_private=.." and "memory-end",
// then waits for the end of standard input: the driver closes it once it
// has read the parent's counters, which it can only do while the parent lives.
static void bench_report_memory_and_hold(const char *who) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    char line[256];
    if (GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&counters, sizeof counters))
        snprintf(line, sizeof line, "%s_peak_ws=%llu %s_ws=%llu %s_private=%llu\nmemory-end\n", who,
                 (unsigned long long)counters.PeakWorkingSetSize, who,
                 (unsigned long long)counters.WorkingSetSize, who, (unsigned long long)counters.PrivateUsage);
    else
        snprintf(line, sizeof line, "%s_memory_error=%lu\nmemory-end\n", who, GetLastError());
    bench_write(line);
    char sink[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), sink, sizeof sink, &got, NULL) && got > 0) {
    }
}
