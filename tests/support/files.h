// File helpers for tests that run under Wine or Windows: test data lives in
// the build folder, reached through the drive that maps the host's root.
#pragma once

#include <string>

#include <windows.h>

// Reads a whole file; fails the calling test when it cannot.
std::string read_file(const std::string &path);

// A path below the build's test-data folder.
std::string test_data(const std::string &name);

// Wide form of a narrow path.
std::wstring widen(const std::string &text);

// True when the tests run under Wine rather than Windows.
bool on_wine();

// Makes `link` (a folder path on the Z: drive, which maps the host's root) a
// link to the folder `target`: a junction on Windows; under Wine, which makes
// neither junctions nor symbolic links, a host symbolic link, which Wine
// shows as a reparse-point folder. Fails the calling test when it cannot.
void make_folder_link(const std::wstring &link, const std::wstring &target);

// Makes `link` (a path on the Z: drive) a link to the file `target`: under
// Wine a host symbolic link, which Wine opens as the file it points at; on
// Windows, where a file's symbolic link needs a privilege, a junction.
// Fails the calling test when it cannot.
void make_file_link(const std::wstring &link, const std::wstring &target);

// Removes a folder on the Z: drive with everything in it, links included:
// with the host's rm under Wine, which cannot remove a host link.
void remove_host_tree(const std::wstring &folder);

// True when something exists at `path`.
bool exists(const std::wstring &path);

// Creates a file of one byte at `path` with the given attributes; fails the calling test when it cannot.
void make_file(const std::wstring &path, unsigned long attributes = 0x80 /* FILE_ATTRIBUTE_NORMAL */);

// True when the folder's access list grants Everyone, Users or Authenticated
// Users any of `rights`.
bool others_granted(const std::wstring &folder, unsigned long rights);

// Lets everyone write into `folder`: mode 0777 under Wine, which keeps a
// folder's access list as the host's mode bits; an entry for Everyone on Windows.
void let_everyone_write(const std::wstring &folder);

// Polls `ready` every 5 ms for at most `ms` milliseconds; true once it holds.
template <typename Ready> bool wait_for(Ready ready, unsigned long ms) {
    ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        if (ready()) return true;
        Sleep(5);
    }
    return ready();
}
