// The user's profile folder, read the way the profile library reads it but
// through ntdll alone, so that a parent loads no other library for it.
#pragma once

#include "system/syscalls.h"

// Writes the profile folder of the process's user into `path` (MAX_PATH
// units): the ProfileImagePath that the system's profile list keeps for the
// user's SID, its variables expanded. False, `path` undefined, where any step
// fails or the folder does not fit.
bool profile_folder_from_registry(LPWSTR path);
