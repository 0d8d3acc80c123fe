// pelvoran-decode's line reader on any standard input: one answer line per
// valid input line, one error line per invalid one, exit status 0 or 1.
#include "cli/decode_cli.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t lines = 0;
    for (const char c : input)
        lines += c == '\n';
    if (!input.empty() && input.back() != '\n')
        ++lines;

    std::FILE* in =
        input.empty() ? std::fopen("/dev/null", "r") : fmemopen(input.data(), input.size(), "r");
    char* outBuf = nullptr;
    char* errBuf = nullptr;
    std::size_t outLen = 0, errLen = 0;
    std::FILE* out = open_memstream(&outBuf, &outLen);
    std::FILE* err = open_memstream(&errBuf, &errLen);
    const char* argv[] = {"pelvoran-decode", "--raw"};
    const int status =
        pelvoran::runDecodeCli(2, argv, in, out, err, pelvoran::RegionalSettings::zhCN());
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    std::size_t answers = 0, errors = 0;
    for (std::size_t i = 0; i < outLen; ++i)
        answers += outBuf[i] == '\n';
    for (std::size_t i = 0; i < errLen; ++i)
        errors += errBuf[i] == '\n';
    std::free(outBuf);
    std::free(errBuf);
    if (answers + errors != lines || (status != 0 && status != 1) || (status == 1) != (errors > 0))
        std::abort();
    return 0;
}
