#include "server/command_line.h"

#include <clocale>
#include <string>
#include <sys/stat.h>
#include <vector>

int main(int argc, char** argv) {
    // Comments, the admin token and backups are the owner's alone, whoever
    // starts the program and with whatever mask.
    ::umask(077);
    std::setlocale(LC_ALL, "");
    return pelvoran::server::runCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}
