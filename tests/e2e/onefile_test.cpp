// The whole onefile run through packed executables: extraction, the child
// with its arguments and environment, exit codes, re-entry, hand-off
// failures and the removal of the target folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

class OnefileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        temp = scratch_folder(std::wstring(name.begin(), name.end()));
    }
    // Runs a packed executable with the scratch folder as its temporary folder.
    Finished launch(const std::wstring &exe, const std::wstring &arguments,
               std::map<std::wstring, std::wstring> environment = {}, const std::wstring &directory = L"") {
        environment[L"TMP"] = temp;
        environment[L"TEMP"] = temp;
        return run_program(exe, L"\"" + exe + L"\" " + arguments, environment, 60000, directory);
    }
    std::wstring temp;
};

std::wstring folder_of(const std::string &path) {
    std::wstring wide(path.begin(), path.end());
    return wide.substr(0, wide.rfind(L'\\'));
}

TEST_F(OnefileTest, ApplicationSeesItsArgumentsEnvironmentAndFolder) {
    std::wstring report = temp + L"\\report.txt";
    Finished run = launch(packed(L"probe.exe"), L"report \"" + report + L"\" plain \"with space\" \"tab\there\" "
                                           L"trailing\\ \"quote\\\"inside\" \"\" \"dir with space\\\\\" last");
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    auto seen = read_report(report);
    EXPECT_EQ(seen["argc"], "11");
    EXPECT_EQ(seen["arg3"], "plain");
    EXPECT_EQ(seen["arg4"], "with space");
    EXPECT_EQ(seen["arg5"], "tab\there");
    EXPECT_EQ(seen["arg6"], "trailing\\");
    EXPECT_EQ(seen["arg7"], "quote\"inside");
    EXPECT_EQ(seen["arg8"], "");  // an empty argument keeps its place
    EXPECT_EQ(seen["arg9"], "dir with space\\");
    EXPECT_EQ(seen["arg10"], "last");
    // The parent's id, the executable's folder and its first argument as started.
    EXPECT_EQ(seen["TARVEN_ONEFILE_PARENT"], std::to_string(run.process_id));
    std::wstring exe = packed(L"probe.exe");
    EXPECT_EQ(seen["TARVEN_ONEFILE_DIRECTORY"], narrow(exe.substr(0, exe.rfind(L'\\'))));
    EXPECT_EQ(seen["TARVEN_ORIGINAL_ARGV0"], narrow(exe));
    EXPECT_EQ(seen["arg0"], narrow(exe));
    EXPECT_NE(seen["pid"], std::to_string(run.process_id));
    // <temp>\onefile_<parent pid>_<6 digits>_<11 base64url characters>, named by the cached values.
    std::wstring target = folder_of(seen["library"]);
    EXPECT_EQ(narrow(target), narrow(temp) + "\\onefile_" + std::to_string(run.process_id) + "_" +
                                  seen["TARVEN_ONEFILE_TIME_US"] + "_" + seen["TARVEN_ONEFILE_RANDOM"]);
    EXPECT_EQ(seen["TARVEN_ONEFILE_TIME_US"].find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(seen["TARVEN_ONEFILE_TIME_US"].size(), 6u);
    EXPECT_EQ(seen["TARVEN_ONEFILE_RANDOM"].size(), 11u);
    EXPECT_EQ(narrow(target) + "\\probe.dll", seen["library"]);
    // Only the report is left: the target folder is gone.
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>{L"report.txt"});
}

// A raw command line whose quoted first element runs on into text, which
// no shell makes ("C:\x\app.exe"report ...): the child's line keeps a space
// between the module path and that text. Without it the module path, which
// needs no quotes here, ran on into "report", and the application's argv[0]
// was "...\probe.exereport".
TEST_F(OnefileTest, AQuotedProgramNameRunningOnIntoTextLeavesArgv0TheExecutable) {
    std::wstring exe = packed(L"probe.exe");
    ASSERT_EQ(exe.find_first_of(L" \t"), std::wstring::npos) << "the module path must need no quotes";
    std::wstring report = temp + L"\\report.txt";
    Finished run = run_program(exe, L"\"" + exe + L"\"report \"" + report + L"\" w", {{L"TMP", temp}, {L"TEMP", temp}});
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    auto seen = read_report(report);
    EXPECT_EQ(seen["arg0"], narrow(exe));
    EXPECT_EQ(seen["argc"], "4");
    EXPECT_EQ(seen["arg3"], "w");
}

TEST_F(OnefileTest, ExitCodesComeBackWhole) {
    for (const wchar_t *code : {L"0", L"1", L"7", L"256", L"0x7FFFFFFF", L"0xC0000005", L"0xDEADBEEF"}) {
        Finished run = launch(packed(L"probe.exe"), std::wstring(L"exit ") + code);
        EXPECT_EQ(run.exit_code, wcstoul(code, nullptr, 0)) << narrow(code);
    }
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(OnefileTest, ExtractedTreeEqualsTheSourceByteForByte) {
    // Started from a folder of the user's: nothing there may be touched.
    std::wstring user_folder = temp + L"\\user";
    CreateDirectoryW(user_folder.c_str(), nullptr);
    CreateDirectoryW((user_folder + L"\\.git").c_str(), nullptr);
    HANDLE keep = CreateFileW((user_folder + L"\\keep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(keep);
    std::wstring copy = temp + L"\\copy";
    Finished run = launch(packed(L"tree.exe"), L"copy \"" + copy + L"\"", {}, user_folder);
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    auto extracted = read_tree(copy);
    auto source = read_tree(widen(std::string("Z:") + TARVEN_TREE_SOURCE));
    extracted.erase(L"probe.dll");
    ASSERT_EQ(extracted.size(), source.size());
    for (const auto &[name, content] : source) {
        ASSERT_TRUE(extracted.count(name)) << narrow(name);
        EXPECT_TRUE(extracted[name] == content) << narrow(name);
    }
    EXPECT_EQ(extracted[L"tree\\over.bin"].size(), 32769u);
    // The target folder is gone, names beyond 260 units included, and the
    // user's folder is as it was.
    auto left = list_folder(temp);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::wstring>{L"copy", L"user"}));
    auto user = list_folder(user_folder);
    std::sort(user.begin(), user.end());
    EXPECT_EQ(user, (std::vector<std::wstring>{L".git", L"keep.txt"}));
}

TEST_F(OnefileTest, ReenteredChildReachesTheSameFolderAndWritesNothing) {
    std::wstring report = temp + L"\\inner.txt";
    Finished run = launch(packed(L"probe.exe"), L"reenter \"" + report + L"\"");
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    auto inner = read_report(report);
    EXPECT_EQ(inner["TARVEN_ONEFILE_PARENT"], std::to_string(run.process_id));
    EXPECT_EQ(inner["readme"], "changed by the application");
    // The folder the parent named, from the texts the parent stored.
    EXPECT_EQ(inner["library"], narrow(temp) + "\\onefile_" + std::to_string(run.process_id) + "_" +
                                    inner["TARVEN_ONEFILE_TIME_US"] + "_" + inner["TARVEN_ONEFILE_RANDOM"] + "\\probe.dll");
    // One folder was made and removed; nothing else appeared.
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>{L"inner.txt"});
}

// Started by a relative name, with cached texts that another launcher left
// in the environment: the application sees the name as typed, and the parent
// names its folder afresh.
TEST_F(OnefileTest, RelativeStartWithStaleCachedTexts) {
    std::wstring exe = packed(L"probe.exe");
    std::wstring folder = exe.substr(0, exe.rfind(L'\\'));
    std::wstring relative = L"..\\" + folder.substr(folder.rfind(L'\\') + 1) + L"\\probe.exe";
    std::wstring report = temp + L"\\report.txt";
    Finished run = run_program(exe, relative + L" report \"" + report + L"\"",
                               {{L"TMP", temp}, {L"TEMP", temp}, {L"TARVEN_ONEFILE_START", L"1"},
                                {L"TARVEN_ONEFILE_TIME_US", L"999999"}, {L"TARVEN_ONEFILE_RANDOM", L"staleRANDOM"}},
                               60000, folder);
    ASSERT_EQ(run.exit_code, 0u) << run.standard_output << run.standard_error;
    auto seen = read_report(report);
    EXPECT_EQ(seen["TARVEN_ORIGINAL_ARGV0"], narrow(relative));
    EXPECT_EQ(seen["arg0"], narrow(exe));
    EXPECT_NE(seen["TARVEN_ONEFILE_TIME_US"], "999999");
    EXPECT_NE(seen["TARVEN_ONEFILE_RANDOM"], "staleRANDOM");
    EXPECT_EQ(seen["TARVEN_ONEFILE_START"], "<unset>");  // cleared, and the template has no {TIME}
    EXPECT_EQ(seen["library"], narrow(temp) + "\\onefile_" + std::to_string(run.process_id) + "_" +
                                   seen["TARVEN_ONEFILE_TIME_US"] + "_" + seen["TARVEN_ONEFILE_RANDOM"] + "\\probe.dll");
}

// The application library imports a second library of the payload, which
// the system finds in the unpacked folder: beside the library, or at the
// folder's top while the library sits in a subfolder.
TEST_F(OnefileTest, LibraryImportsASecondLibraryOfThePayload) {
    for (const wchar_t *exe : {L"helper-beside.exe", L"helper-below.exe"}) {
        Finished run = launch(packed(exe), L"");
        EXPECT_EQ(run.exit_code, 42u) << narrow(exe) << ": " << run.standard_output << run.standard_error;
    }
    EXPECT_TRUE(list_folder(temp).empty());
}

// The library cannot be loaded on this machine: the system's line stays as
// it is, and a second names the DLL that is missing, found by following the
// import tables as the loader does (the unpacked folder, then the system
// folder). (Wine binds a missing function to a stub instead of failing with
// 127: the launcher's unit tests cover that line.)
TEST_F(OnefileTest, AMissingDllIsNamed) {
    Finished missing = launch(packed(L"helper-missing.exe"), L"");
    EXPECT_EQ(missing.exit_code, 2u);
    EXPECT_EQ(missing.standard_error.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << missing.standard_error;
    EXPECT_NE(missing.standard_error.find(")\nNot found: 'helper.dll', imported by 'uses_helper.dll' (looked for in "
                                          "the unpacked folder and the system folder).\n"),
              std::string::npos)
        << missing.standard_error;
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(OnefileTest, ParentVariableThatIsNotALauncherMakesAParent) {
    const std::wstring values[] = {L"", L"abc", L"12x", L"4294967296", L"99999999999",
                                   std::to_wstring(GetCurrentProcessId())};  // a live process of another executable
    for (const std::wstring &value : values) {
        std::wstring report = temp + L"\\report.txt";
        Finished run = launch(packed(L"probe.exe"), L"report \"" + report + L"\"", {{L"TARVEN_ONEFILE_PARENT", value}});
        ASSERT_EQ(run.exit_code, 0u) << narrow(value);
        EXPECT_EQ(read_report(report)["TARVEN_ONEFILE_PARENT"], std::to_string(run.process_id)) << narrow(value);
        DeleteFileW(report.c_str());
    }
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(OnefileTest, FirstFileThatIsNotALibrary) {
    Finished run = launch(packed(L"notdll.exe"), L"");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.standard_output, "");
    EXPECT_EQ(run.standard_error.rfind("Error, load DLL. ([Error 193] ", 0), 0u) << run.standard_error;
    EXPECT_EQ(run.standard_error.back(), '\n');
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(OnefileTest, LibraryWithoutRunCode) {
    Finished run = launch(packed(L"norun.exe"), L"");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.standard_output, "Error, DLL entry point not found.\n");
    EXPECT_TRUE(list_folder(temp).empty());
}

TEST_F(OnefileTest, PayloadWithoutEntries) {
    Finished run = launch(packed(L"empty.exe"), L"");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.standard_output, "Error, attached data holds no application to run.\n");
}

TEST_F(OnefileTest, FileHeldOpenForAboutASecondIsRetried) {
    Finished run = launch(packed(L"probe.exe"), L"hold 1000");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(list_folder(temp).empty());
}

// Held past the twenty retries (about two seconds): the folder stays and the
// exit code is the application's.
TEST_F(OnefileTest, FileHeldPastTheRetriesLeavesTheFolder) {
    Finished run = launch(packed(L"probe.exe"), L"hold 5000");
    EXPECT_EQ(run.exit_code, 0u);
    auto left = list_folder(temp);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind(L"onefile_", 0), 0u);
    Sleep(3500);  // let the holder go before the scratch folder is reused
}

TEST_F(OnefileTest, DamagedPayloadsEndWithTheirMessage) {
    Finished run = launch(packed(L"badmarker.exe"), L"");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.standard_output, "Error, couldn't find attached data header.\n");
    run = launch(packed(L"window28.exe"), L"");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.standard_output, "Error, couldn't decode attached data.\n");
}

}  // namespace

namespace {

class PlacesTest : public OnefileTest {};

// A template that cannot be expanded (here a temporary folder too long for
// any path) is reported and ends with the fail-fast status.
TEST_F(PlacesTest, UnexpandableTargetAbortsWithItsMessage) {
    std::wstring too_long = L"C:\\" + std::wstring(5000, L't');
    Finished run = run_program(packed(L"probe.exe"), L"probe.exe exit 0", {{L"TMP", too_long}, {L"TEMP", too_long}});
    EXPECT_EQ(run.exit_code, 0xC0000409u);
    EXPECT_EQ(run.standard_error, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\n");
}

// The rebuilt command line (the module path in front) of 32767 units runs;
// one unit more ends the parent before any launch, its folder left behind.
TEST_F(PlacesTest, RebuiltCommandLineAtItsBound) {
    std::wstring exe = packed(L"probe.exe");
    std::wstring head = exe.find_first_of(L" \t") == std::wstring::npos ? exe : L"\"" + exe + L"\"";
    std::wstring start = L"p exit 5 ";
    std::wstring filler(32767 - head.size() - (start.size() - 1), L'f');
    Finished run = run_program(exe, start + filler, {{L"TMP", temp}, {L"TEMP", temp}});
    EXPECT_EQ(run.exit_code, 5u);
    EXPECT_TRUE(list_folder(temp).empty());
    run = run_program(exe, start + filler + L"f", {{L"TMP", temp}, {L"TEMP", temp}});
    EXPECT_EQ(run.exit_code, 0xC0000409u);
    EXPECT_EQ(list_folder(temp).size(), 1u);
}

// Copies the probe into the Wine prefix's drive C, runs it there with a
// report, and removes the copy.
std::map<std::string, std::string> run_copy_at(const std::wstring &exe, const std::wstring &temp) {
    size_t cut = exe.rfind(L'\\');
    if (cut > 2) CreateDirectoryW(exe.substr(0, cut).c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(packed(L"probe.exe").c_str(), exe.c_str(), FALSE)) << narrow(exe);
    std::wstring report = temp + L"\\report.txt";
    Finished run = run_program(exe, L"\"" + exe + L"\" report \"" + report + L"\"", {{L"TMP", temp}, {L"TEMP", temp}});
    EXPECT_EQ(run.exit_code, 0u);
    DeleteFileW(exe.c_str());
    if (cut > 2) RemoveDirectoryW(exe.substr(0, cut).c_str());
    return read_report(report);
}

TEST_F(PlacesTest, ExecutableAtADriveRootOrInAFolderWithSpaces) {
    auto at_root = run_copy_at(L"C:\\tarven-probe-root.exe", temp);
    EXPECT_EQ(at_root["TARVEN_ONEFILE_DIRECTORY"], "C:");
    auto spaced = run_copy_at(L"C:\\tarven dir with spaces\\probe.exe", temp);
    EXPECT_EQ(spaced["TARVEN_ONEFILE_DIRECTORY"], "C:\\tarven dir with spaces");
    EXPECT_EQ(spaced["arg0"], "C:\\tarven dir with spaces\\probe.exe");
    EXPECT_EQ(spaced["arg1"], "report");
}

}  // namespace
