#include "cli/decode_cli.h"

#include "decode/lens_query.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran {
namespace {

constexpr char kHelp[] =
    "用法 / Usage:\n"
    "  pelvoran-decode [--raw] [--] 编号...      code...\n"
    "  pelvoran-decode [--raw] < 文件            < file (一行一个编号 / one code per line)\n"
    "\n"
    "为每个镜头编号打印主窗口会显示的查询结果。\n"
    "Prints, for each lens code, the answer the main window would show.\n"
    "\n"
    "  --raw   原样输出：保留回车符 (CR)，每个结果占一行。\n"
    "          Exact text: the carriage return is kept; one answer per line.\n"
    "  --      此后的参数都是编号（例如 -1234567）。\n"
    "          Everything after it is a code (for example -1234567).\n"
    "  --help  显示本说明。 Shows this help.\n"
    "\n"
    "输入为 UTF-8；无效的行会报错并跳过，退出码为 1。\n"
    "Input is UTF-8; an invalid line is reported and skipped, and the exit status is 1.\n";

class Decoder {
public:
    Decoder(std::FILE* out, std::FILE* err, bool raw, const RegionalSettings& regional)
        : out_(out), err_(err), raw_(raw), query_(regional) {}

    void decode(std::string_view code, const char* what, unsigned long index) {
        const auto text = fromUtf8(code);
        if (!text) {
            std::fprintf(err_, "pelvoran-decode: %s %lu: not valid UTF-8, skipped\n", what, index);
            invalid_ = true;
            return;
        }
        std::string answer = toUtf8(query_.Command1_Click(*text));
        if (!raw_) {
            for (char& c : answer)
                if (c == '\r')
                    c = '\n';
        }
        answer += '\n';
        std::fwrite(answer.data(), 1, answer.size(), out_);
    }

    int finish() {
        if (std::fflush(out_) != 0 || std::ferror(out_)) {
            std::fprintf(err_, "pelvoran-decode: cannot write the answers\n");
            return 1;
        }
        return invalid_ ? 1 : 0;
    }

private:
    std::FILE* out_;
    std::FILE* err_;
    bool raw_;
    bool invalid_ = false;
    LensQuery query_;
};

} // namespace

int runDecodeCli(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err,
                 const RegionalSettings& regional) {
    bool raw = false;
    std::vector<const char*> codes;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--raw") {
            raw = true;
        } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
            std::fputs(kHelp, out);
            return std::fflush(out) == 0 ? 0 : 1;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(err,
                         "pelvoran-decode: unknown option '%s' (codes that begin with '-' go "
                         "after --; see --help)\n",
                         argv[i]);
            return 2;
        } else {
            codes.push_back(argv[i]);
        }
    }

    Decoder decoder(out, err, raw, regional);
    if (!codes.empty()) {
        for (std::size_t i = 0; i < codes.size(); ++i)
            decoder.decode(codes[i], "argument", i + 1);
        return decoder.finish();
    }

    char* line = nullptr;
    std::size_t capacity = 0;
    unsigned long number = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, in)) >= 0) {
        ++number;
        std::string_view code(line, static_cast<std::size_t>(length));
        if (code.ends_with('\n'))
            code.remove_suffix(1);
        if (code.ends_with('\r')) // files written on Windows
            code.remove_suffix(1);
        decoder.decode(code, "line", number);
    }
    std::free(line);
    if (std::ferror(in)) {
        std::fprintf(err, "pelvoran-decode: cannot read standard input\n");
        decoder.finish();
        return 1;
    }
    return decoder.finish();
}

} // namespace pelvoran
