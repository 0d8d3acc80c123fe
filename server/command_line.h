#pragma once

#include <string>
#include <vector>

namespace pelvoran::server {

/// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // at run time
inline constexpr int kExitUsage = 2;   // a usage error or refused input

/// Runs one command line (without the program's name) and returns its exit
/// status. Messages for the publisher go to standard error, results to
/// standard output.
int runCommandLine(const std::vector<std::string>& args);

/// The program's main: the process's mask and locale, then the command line.
int runProgram(const std::vector<std::string>& args);

} // namespace pelvoran::server
