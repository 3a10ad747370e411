// One fake file system for the tests and the fuzz targets: folders and files
// by name behind the table's directory and file calls, by path and relative
// to folder handles (ASCII letters folded, as Windows compares names), one
// file open at a time, every call recorded, nothing on disk. Builds for
// Windows and for the fuzz targets' Linux host.
#pragma once

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "system/syscalls.h"

struct FakeFiles {
    std::set<std::wstring> folders;             // folded names of the folders that exist
    std::map<std::wstring, std::string> files;  // files by the name they were created with, and their bytes
    std::set<std::wstring> links;               // folded names that are links (opened themselves, they say so)
    std::set<std::wstring> hard_linked;         // folded names of files that have a second name
    std::vector<std::wstring> created;          // every folder made (CreateDirectoryW or NtCreateFile), in order
    std::vector<DWORD> writes;                  // every WriteFile's size, in order
    size_t files_opened = 0;                    // opens that gave a file
    bool open_refused = false;                  // a file's open was refused for want of its folder
    bool kind_refused = false;                  // a folder was asked where a file is, or the other way
    bool keep_contents = true;                  // keep what is written in `files`, and `created`
    // Where the fake's failures leave their code (the system's last error by default).
    void (*set_error)(DWORD code) = nullptr;
    // Told of every open of a file (its full path, access and disposition:
    // CreateFileW's, or NtCreateFile's for an open relative to a folder),
    // write and close; the index counts the files opened, from 0. Any may be null.
    void (*on_open)(const wchar_t *path, DWORD access, DWORD disposition, size_t index) = nullptr;
    void (*on_write)(size_t index, const void *data, DWORD size, uint64_t written_before) = nullptr;
    void (*on_close)(size_t index, uint64_t written) = nullptr;
    // Told of a call that no launcher code should make: a write to a file that
    // is not open, a second file opened while one is.
    void (*complain)(const char *what) = nullptr;

    std::wstring open_name;  // the open file, empty when none
    uint64_t written = 0;    // bytes written to the open file
};

extern FakeFiles fake_files;

// Empties the fake, makes `existing` (and nothing above them) the folders
// that exist, and puts its calls in the table: CreateDirectoryW, CreateFileW,
// NtCreateFile, NtQueryInformationFile, NtSetInformationFile,
// RtlNtStatusToDosError, WriteFile and CloseHandle. Keeps the hooks.
void install_fake_files(const std::vector<std::wstring> &existing);

// The handle the fake gives for its open file.
HANDLE fake_file_handle();

// Puts a folder, or a file with `contents`, at `path`, as though made before.
void put_fake_folder(const std::wstring &path);
void put_fake_file(const std::wstring &path, const std::string &contents);

// The folder handles open now.
size_t open_fake_folders();
