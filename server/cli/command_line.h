#pragma once

#include "server/cli/command_support.h"

#include <string>
#include <vector>

namespace pelvoran::server {

/// Runs one command line (without the program's name) and returns its exit
/// status. Messages for the publisher go to standard error, results to
/// standard output.
int runCommandLine(const std::vector<std::string>& args);

/// The program's main: the process's mask and locale, then the command line.
int runProgram(const std::vector<std::string>& args);

} // namespace pelvoran::server
