// Process launching and file helpers for the end-to-end tests.
#include "tests/e2e/launch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/wine_starts.h"

std::wstring environment_block(const std::map<std::wstring, std::wstring> &changes) {
    std::map<std::wstring, std::wstring> merged;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *entry = block; *entry != 0; entry += wcslen(entry) + 1) {
        std::wstring line = entry;
        size_t equals = line.find(L'=', 1);
        if (equals != std::wstring::npos) merged[line.substr(0, equals)] = line.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto &[name, value] : changes) {
        for (auto it = merged.begin(); it != merged.end();)
            it = _wcsicmp(it->first.c_str(), name.c_str()) == 0 ? merged.erase(it) : std::next(it);
        if (!value.empty()) merged[name] = value;
    }
    std::wstring out;
    for (const auto &[name, value] : merged) out += name + L"=" + value + L'\0';
    return out + L'\0';
}

namespace {

void drain(HANDLE pipe, std::string *into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

}  // namespace

namespace {

Finished run_once(const std::wstring &program, const std::wstring &command_line,
                  const std::map<std::wstring, std::wstring> &environment, unsigned timeout_ms,
                  const std::wstring &current_directory) {
    Finished run;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    CreatePipe(&out_read, &out_write, &inheritable, 0);
    CreatePipe(&err_read, &err_write, &inheritable, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    std::wstring block = environment_block(environment);
    std::wstring line = command_line;
    PROCESS_INFORMATION process = {};
    BOOL started = create_process_despite_wine([&] {
        line = command_line;
        return CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                              block.data(), current_directory.empty() ? nullptr : current_directory.c_str(), &startup,
                              &process);
    });
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (!started) {
        ADD_FAILURE() << "cannot start " << narrow(program) << ": " << GetLastError();
        CloseHandle(out_read);
        CloseHandle(err_read);
        return run;
    }
    run.process_id = process.dwProcessId;
    std::thread out_reader(drain, out_read, &run.standard_output);
    std::thread err_reader(drain, err_read, &run.standard_error);
    if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        ADD_FAILURE() << narrow(command_line) << " did not end within " << timeout_ms << " ms";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exit_code);
    out_reader.join();
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

}  // namespace

// Wine 8's process creation now and then fails with ERROR_INTERNAL_ERROR: the
// new process ends in Wine's own start-up, most often with many starting at
// once. A launcher that meets it reports that its child could not be
// launched and leaves its folder, as it must. Windows does not fail so: such
// a run is Wine's, not the launcher's, and it runs again (at most twice)
// once the folder it left in the given temporary folder is gone.
Finished run_program(const std::wstring &program, const std::wstring &command_line,
                     const std::map<std::wstring, std::wstring> &environment, unsigned timeout_ms,
                     const std::wstring &current_directory) {
    auto temp = environment.find(L"TEMP");
    for (int attempt = 0;; ++attempt) {
        std::vector<std::wstring> before;
        if (temp != environment.end()) before = list_folder(temp->second);
        Finished run = run_once(program, command_line, environment, timeout_ms, current_directory);
        if (attempt == 2 || run.standard_error.find("Error, couldn't launch child ([Error 1359] ") == std::string::npos)
            return run;
        if (temp == environment.end()) continue;
        for (const std::wstring &name : list_folder(temp->second))
            if (std::find(before.begin(), before.end(), name) == before.end()) remove_host_tree(temp->second + L"\\" + name);
    }
}

std::map<std::string, std::string> read_report(const std::wstring &path) {
    std::map<std::string, std::string> report;
    std::string text = read_file(narrow(path));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return report;
}

std::vector<std::wstring> list_folder(const std::wstring &folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::map<std::wstring, std::string> read_tree(const std::wstring &folder) {
    std::map<std::wstring, std::string> tree;
    for (const std::wstring &name : list_folder(folder)) {
        std::wstring path = folder + L"\\" + name;
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (auto &[inner, content] : read_tree(path)) tree[name + L"\\" + inner] = content;
            continue;
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        std::string content;
        drain(file, &content);
        CloseHandle(file);
        tree[name] = content;
    }
    return tree;
}

// Each run of the tests gets folders of its own: a folder left by a run
// (for instance one holding names too long for the shell's deletion) never
// stands in the way of the next. The count tells apart the folders one
// process asks for within one tick of the clock.
std::wstring scratch_folder(const std::wstring &name) {
    static unsigned count = 0;
    std::wstring root = widen(std::string("Z:") + TARVEN_E2E_SCRATCH);
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring folder = root + L"\\" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++count);
    bool made = CreateDirectoryW(folder.c_str(), nullptr);
    DWORD error = GetLastError();
    EXPECT_TRUE(made) << narrow(folder) << " (error " << error << ")";
    return folder;
}

std::wstring packed(const std::wstring &name) { return widen(std::string("Z:") + TARVEN_PACKED_DIR) + L"\\" + name; }

std::string narrow(const std::wstring &text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}
