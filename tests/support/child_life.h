#pragma once

// The processes a test starts end with it: on a failure, a crash, and when
// ctest kills it at its time limit (ctest kills the test's process and its
// descendants, found by their parent links).

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace pelvoran::test {

/// In a child between fork and exec (async-signal-safe): it is killed when
/// the thread of the test that forked it ends, and ends at once when the
/// test has already gone. Fork only from the test's main thread, or from a
/// thread that outlives the child.
inline void dieWithTest(pid_t test) noexcept {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != test)
        ::_exit(127);
}

namespace detail {
/// The test process adopts what its children leave behind when they exit
/// (pg_ctl's postmaster, a daemon that forks): ctest's kill at a time
/// limit then reaches those too, since they are its descendants. Set as
/// the process starts, by every file that includes this.
[[maybe_unused]] static const bool adoptsOrphans = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
} // namespace detail

} // namespace pelvoran::test
