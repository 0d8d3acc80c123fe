#include "server/command_line.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    return pelvoran::server::runCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}
