// The run sequence: role, target directory, extraction, then the child
// (parent) or the library (re-entered child).
#include "run/run.h"

#include "cache/cache.h"
#include "run/child.h"
#include "run/cleanup.h"
#include "progress/progress_window.h"
#include "unpack/extract.h"
#include "run/reentry.h"
#include "run/target_choice.h"
#include "removal/target_folder.h"
#include "unpack/report.h"
#include "unpack/state.h"
#include "paths/template.h"
#include "payload/reader.h"
#include "payload/stored.h"
#include "system/syscalls.h"

unsigned run_launcher(const ArgumentVector &arguments) {
    process_arguments = arguments;
    // The current directory leaves the library search order for good.
    sys.SetDllDirectoryW(L"");
    bool reentered = detect_reentry();
    if (!reentered) prepare_parent_environment();
    // A failed expansion is reported before the partial text is made
    // absolute: an empty one would end the process there without a word.
    choose_target_template();
    const wchar_t *path_template = target_template();
    if (!expand_path_template(launcher_state.target_directory, path_template, kPathCapacity))
        report_expansion_failure(path_template);
    make_absolute_path();
    if (!reentered && !sys.SetConsoleCtrlHandler(console_control_handler, TRUE))
        report_fatal("Error, failed to register signal handler.");
    // Packed with --cache: a folder unpacked once, reused by later starts.
    if (run_uses_cache()) {
        const wchar_t *library = nullptr;
        const wchar_t *folder = prepare_cached_folder(reentered, &library);
        if (folder == nullptr) end_stopped_loop();
        set_hand_off_variables();
        progress_follow_application(sys.GetCurrentProcessId());
        return static_cast<unsigned>(hand_off_to_library(folder, library, arguments.count, arguments.values));
    }
    PayloadStatus opened = open_payload();
    if (opened != PayloadStatus::ok) report_payload_failure(opened);
    if (!reentered) make_target_folder();
    launcher_state.extraction_started = true;
    if (!reentered) begin_unpacking_progress();
    EntryLoopResult loop = extract_payload(reentered);
    if (loop.ending == EntryLoopEnding::first_entry) {
        hold_running_folder(launcher_state.target_directory);
        return static_cast<unsigned>(
            hand_off_to_library(launcher_state.target_directory, loop.path, arguments.count, arguments.values));
    }
    if (loop.ending == EntryLoopEnding::stopped) end_stopped_loop();
    if (loop.ending != EntryLoopEnding::end_record) report_unpacking_failure(loop);
    // Only an end record: a re-entered child has no library to hand the process to.
    if (reentered) report_fatal("Error, attached data holds no application to run.");
    if (!progress_allows_start()) end_cancelled_run();
    return launch_child_and_wait();
}
