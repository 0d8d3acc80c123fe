#include "cli/decode_cli.h"

#include "decode/lens_query.h"

#include <array>
#include <cstring>
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

/// Reads a stream line by line in blocks, with the C library alone (the C
/// runtime of Windows has no getline). A line is what comes before "\n", or
/// before the end of the input when the last line has no "\n"; a CR right
/// before its end is dropped (files written on Windows). NUL bytes stay in
/// the line.
class LineReader {
public:
    explicit LineReader(std::FILE* in) : in_(in) {}

    /// Puts the next line in `line`; false at the end of the input or when
    /// reading fails (ferror tells which).
    bool next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == size_) {
                size_ = std::fread(buffer_.data(), 1, buffer_.size(), in_);
                pos_ = 0;
                if (size_ == 0)
                    break;
            }
            const char* start = buffer_.data() + pos_;
            const std::size_t left = size_ - pos_;
            any = true;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', left));
            if (newline != nullptr) {
                const auto length = static_cast<std::size_t>(newline - start);
                line.append(start, length);
                pos_ += length + 1;
                break;
            }
            line.append(start, left);
            pos_ = size_;
        }
        if (line.ends_with('\r'))
            line.pop_back();
        return any;
    }

private:
    std::FILE* in_;
    std::array<char, 1 << 16> buffer_{};
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
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
    unsigned long number = 0;
    if (!codes.empty()) {
        for (const char* code : codes)
            decoder.decode(code, "argument", ++number);
        return decoder.finish();
    }

    // One reader on the heap: its block is too large for every stack.
    const auto reader = std::make_unique<LineReader>(in);
    std::string line;
    while (reader->next(line))
        decoder.decode(line, "line", ++number);
    if (std::ferror(in)) {
        std::fprintf(err, "pelvoran-decode: cannot read standard input\n");
        decoder.finish();
        return 1;
    }
    return decoder.finish();
}

} // namespace pelvoran
