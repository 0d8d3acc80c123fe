#include "cli/decode_cli.h"

#include <cstdio>

int main(int argc, char** argv) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return pelvoran::runDecodeCli(argc, argv, stdin, stdout, stderr,
                                  pelvoran::RegionalSettings::fromSystem());
}
