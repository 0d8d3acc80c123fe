#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace pelvoran::test {

/// How one run of the app driver went.
struct DriverRun {
    int exitStatus = -1; // -1: killed at the deadline, or ended by a signal
    std::string out;     // what it printed
    double seconds = 0;  // from launch to its end
    long peakRssKiB = 0;

    /// Seconds from launch until a printed line starting with `prefix`
    /// arrived, or -1 if none did.
    double secondsUntil(const std::string& prefix) const;
    /// Milliseconds from the beginning of the update check until the main
    /// window was shown, as the driver measured them; -1 if it never was.
    long checkHeldMs() const;

    struct Line {
        double seconds;
        std::string text;
    };
    std::vector<Line> lines;
};

/// A directory whose xdg-open only records its arguments, one per line, then
/// runs the shell command `then` (its status is the opener's); or, when not
/// `present`, an empty directory that is then the whole PATH, so that no
/// opener can start.
struct FakeOpener {
    explicit FakeOpener(bool present = true, const std::string& then = "exit 0");
    ~FakeOpener();
    FakeOpener(const FakeOpener&) = delete;
    FakeOpener& operator=(const FakeOpener&) = delete;
    std::string opened() const;
    std::string dir;
    std::string log;
    /// The tool's data folder in the run (XDG_DATA_HOME): the answer keys
    /// live in its folder "pelvoran". Goes with the opener.
    std::string data;
    bool present;
};

/// Runs the app driver (the tool's real start-up path) against `base` with
/// one scenario, on the offscreen platform, with the fake opener first on
/// PATH and its data folder as the XDG data home. Killed at the deadline.
DriverRun runDriver(const std::string& base, const std::string& scenario, const FakeOpener& opener,
                    std::chrono::seconds deadline = std::chrono::seconds(30));

} // namespace pelvoran::test
