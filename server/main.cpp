#include "server/cli/command_line.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    return pelvoran::server::runProgram(std::vector<std::string>(argv + 1, argv + argc));
}
