// pelvoran-decode on Windows: the arguments arrive as UTF-16 and go to the
// reader as UTF-8; files and pipes are read and written as UTF-8 bytes with
// "\n" line ends, exactly as on Linux. A console shows UTF-8 as well.
#include "cli/decode_cli.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

std::string utf8(const wchar_t* s) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A console shows the UTF-8 as text; its code pages are put back after.
    const UINT outputCodePage = GetConsoleOutputCP();
    const UINT inputCodePage = GetConsoleCP();
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);

    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(utf8(argv[i]));
    std::vector<const char*> pointers;
    for (const auto& a : args)
        pointers.push_back(a.c_str());

    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    const int status = pelvoran::runDecodeCli(argc, pointers.data(), stdin, stdout, stderr,
                                              pelvoran::RegionalSettings::fromSystem());
    std::fflush(stdout);
    if (outputCodePage != 0)
        SetConsoleOutputCP(outputCodePage);
    if (inputCodePage != 0)
        SetConsoleCP(inputCodePage);
    return status;
}
