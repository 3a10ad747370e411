// The clean-up observed through the system-call table: removal attempts,
// pauses, waits and terminations recorded, the target folder a fixed path.
// Shared by the clean-up's tests and the launch's, which ends in the clean-up.
#pragma once

#include <string>
#include <vector>

#include "launcher/tests/support/seam.h"

extern std::vector<std::wstring> deletions;  // each removal attempt: the folder it looked for
extern int attributes_calls, sleeps, directory_checks_left;
extern std::vector<DWORD> waits;
extern std::vector<UINT> terminations;
extern DWORD wait_answer;
// The clock the clean-up reads: moved on by each pause, by the pause's length.
extern ULONGLONG clock_ms;
extern DWORD present_attributes;

class CleanupTest : public SeamTest {
protected:
    void SetUp() override;
};
