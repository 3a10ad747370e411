// The fuzz targets' stand-in for Windows: a system-call table of fakes (an
// environment in a map, fixed folders and clock, tracked allocations, one
// reused decoder), the launcher's globals that its run sequence would define,
// and the tests' guard (launcher/tests/support/guard.h), which turns a fatal report or
// an abort into an outcome: a fatal report ends the input, not the fuzzer.
#pragma once

#include <map>
#include <string>

#include "system/syscalls.h"
#include "launcher/tests/support/guard.h"

// Fills `sys` with the fakes below; entries a target does not need stay null.
void install_host_system();

// The fake process environment (names as the launcher spells them).
extern std::map<std::wstring, std::wstring> host_environment;
// What GetTempPathW and SHGetFolderPathW give; an empty text makes them fail.
extern std::wstring host_temp_path, host_profile, host_local_appdata;
// What GetLastError gives.
extern DWORD host_last_error;

// Makes sys.malloc hand out blocks of an arena that release_host_allocations
// empties, for code under test that never frees what it allocates.
void use_allocation_arena();

// Frees what the code under test allocated through sys.malloc.
void release_host_allocations();

// Stops the fuzzer with a message: a broken invariant is a finding.
[[noreturn]] void finding(const char *what);

// UTF-16 units of `bytes` (little-endian pairs; an odd last byte is dropped).
std::wstring units_of(const unsigned char *bytes, size_t size);
