// Holds a file open without delete sharing for a while, as an antivirus
// scanner or an indexer would: holder FILE MILLISECONDS. Announces that it
// holds the file by creating FILE.open beside it.
#include <windows.h>
#include <stdlib.h>

#include <string>

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
    HANDLE mark = CreateFileW((std::wstring(argv[1]) + L".open").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    Sleep(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
    CloseHandle(mark);
    CloseHandle(held);
    return 0;
}
