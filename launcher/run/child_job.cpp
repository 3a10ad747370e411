// The child's job object: a parent ended hard (a kill from the task manager,
// a service manager or a CI time-out runs none of the parent's code) takes
// its child along, so no application runs on from a folder that nobody
// removes. The processes the application starts are not in the job: they
// outlive it as they would without it.
#include "run/child_job.h"

HANDLE create_child_job() {
    // Inside a job (a CI runner's, a service manager's) that job governs: a
    // process that breaks away silently from a nested job of the launcher's
    // would also leave every outer job that allows breakaway.
    BOOL in_job = FALSE;
    if (sys.IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job) return nullptr;
    HANDLE job = sys.CreateJobObjectW(/*attributes: not inheritable*/ nullptr, /*name*/ nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!sys.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        sys.CloseHandle(job);
        return nullptr;
    }
    return job;
}

void tie_child_to_job(HANDLE job, HANDLE child) {
    if (job == nullptr) return;
    // The handle stays open for the life of the parent: closing it is what
    // ends the child, and the system closes it however the parent ends.
    if (!sys.AssignProcessToJobObject(job, child)) sys.CloseHandle(job);
}
