// The entry point of every Windows test executable (built with -municode).
#include <gtest/gtest.h>

#include <windows.h>

namespace {

/// Puts this process, and so every process it starts, into a job that ends
/// them all when its last handle closes: when this process ends, however it
/// ends. Wine starts a child detached from its parent's process tree, so
/// ctest's kill at a suite's time limit would otherwise leave the child
/// running. (The handle is not inherited: the job is this process's alone.)
/// The desktop process wine starts for a suite's first window goes with the
/// suite too; only the suites with windows start it, one at a time
/// (RESOURCE_LOCK wine_desktop), and the next one starts it again.
void endChildrenWithThisProcess() {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess()))
        CloseHandle(job);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    endChildrenWithThisProcess();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
