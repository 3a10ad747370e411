// The launcher's process-wide state and its reset.
#include "unpack/state.h"

#include "paths/identity.h"

LauncherState launcher_state;

void reset_launcher_state() {
    launcher_state.target_directory[0] = 0;
    launcher_state.extraction_started = false;
    launcher_state.unpacking = false;
    launcher_state.stop_requested = false;
    launcher_state.unpacked_bytes = 0;
    launcher_state.target_folder = nullptr;
    launcher_state.target_folder_made = false;
    launcher_state.target_folder_volume = 0;
    launcher_state.target_folder_id = 0;
    launcher_state.entry_path[0] = 0;
    launcher_state.first_entry_path[0] = 0;
    launcher_state.shared_child_process = nullptr;
    launcher_state.child_started = false;
    launcher_state.created_directory_total = 0;
    launcher_state.last_found = 0;
    launcher_state.cached_files = false;
    launcher_state.held_folder = nullptr;
    launcher_state.held_library = nullptr;
    launcher_state.unique_text[0] = 0;
    forget_own_executable_paths();
}
