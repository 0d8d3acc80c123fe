#include "cli/decode_cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace pelvoran;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun runCli(std::vector<const char*> args, const std::string& input = "") {
    args.insert(args.begin(), "pelvoran-decode");
    std::string inCopy = input;
    std::FILE* in =
        inCopy.empty() ? std::fopen("/dev/null", "r") : fmemopen(inCopy.data(), inCopy.size(), "r");
    char* outBuf = nullptr;
    char* errBuf = nullptr;
    std::size_t outLen = 0, errLen = 0;
    std::FILE* out = open_memstream(&outBuf, &outLen);
    std::FILE* err = open_memstream(&errBuf, &errLen);
    const int status = runDecodeCli(static_cast<int>(args.size()), args.data(), in, out, err,
                                    RegionalSettings::zhCN());
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    CliRun r{status, std::string(outBuf, outLen), std::string(errBuf, errLen)};
    std::free(outBuf);
    std::free(errBuf);
    return r;
}

const std::string kUE0945 = "日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月";
const std::string kNotice = "此结果仅供参考，谢谢";

} // namespace

TEST(DecodeCli, RawKeepsTheCarriageReturnOneAnswerPerLine) {
    const CliRun r = runCli({"--raw", "UE0945", "6831234567"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUE0945 + "\r" + kNotice + "\n" + "出厂日期:2010年6月\r" + kNotice + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(DecodeCli, DefaultWritesTheLineBreakAsNewline) {
    const CliRun r = runCli({"UE0945"});
    EXPECT_EQ(r.out, kUE0945 + "\n" + kNotice + "\n");
}

TEST(DecodeCli, DoubleDashLetsCodesStartWithMinus) {
    const CliRun r = runCli({"--raw", "--", "-1234567", "--raw"});
    EXPECT_EQ(r.status, 0);
    // After "--", "--raw" is a code too: 5 characters, a letter code.
    EXPECT_EQ(r.out, "出厂日期:2004年11月或2012年\r" + kNotice + "\n" +
                         "未知生产地 出厂日期未知\r" + kNotice + "\n");
}

TEST(DecodeCli, UnknownOptionIsAUsageError) {
    const CliRun r = runCli({"-1234567"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--"), std::string::npos);
}

TEST(DecodeCli, HelpIsInChineseAndEnglish) {
    const CliRun r = runCli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("用法"), std::string::npos);
    EXPECT_NE(r.out.find("Usage"), std::string::npos);
    EXPECT_NE(r.out.find("--raw"), std::string::npos);
}

TEST(DecodeCli, StandardInputOneCodePerLine) {
    const CliRun r = runCli({"--raw"}, "UE0945\r\n\n6831234567\nUE09");
    EXPECT_EQ(r.status, 0);
    const std::string hint =
        "请输入6、8或10位的编号，编号一般印在卡口处\r格式为 UE0945 或 6831234567 之类\n";
    EXPECT_EQ(r.out, kUE0945 + "\r" + kNotice + "\n" + hint + "出厂日期:2010年6月\r" + kNotice +
                         "\n" + hint);
}

TEST(DecodeCli, LinesOfAnyLengthAndTheirEnds) {
    const std::string hint =
        "请输入6、8或10位的编号，编号一般印在卡口处\r格式为 UE0945 或 6831234567 之类\n";
    const std::string ue = kUE0945 + "\r" + kNotice + "\n";
    const std::string serial = "出厂日期:2010年6月\r" + kNotice + "\n";
    // The reader takes 64 KiB at a time: this line's CR ends one block and its
    // LF starts the next.
    const std::string straddling(65535, '1');
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {straddling + "\r\nUE0945\n", hint + ue},
        {std::string(200000, 'U') + "\n6831234567", hint + serial},
        {"6831234567\r", serial},  // the last line without LF, CR dropped
        {"UE0945\r\r\n", hint},    // only one CR goes
        {"\r\n\n", hint + hint},   // empty lines are codes too
        {"UE0945\n\n", ue + hint}, // nothing after the last LF
        {"UE\r0945\n", hint},      // a CR inside the line stays
        // full-width forms, read as the window reads them
        {"\u3000ＵＥ０９４５\r\n", ue},
    };
    for (const auto& c : cases) {
        const CliRun r = runCli({"--raw"}, c.in);
        EXPECT_EQ(r.status, 0) << c.in.substr(0, 20);
        EXPECT_EQ(r.out, c.out) << c.in.substr(0, 20);
        EXPECT_EQ(r.err, "") << c.in.substr(0, 20);
    }
    // A NUL byte is a character of the line, not its end.
    const CliRun r = runCli({"--raw"}, std::string("6831234567\0\n", 12) + "UE0945\n");
    EXPECT_EQ(r.out, hint + ue);
}

TEST(DecodeCli, InvalidUtf8IsReportedByLineAndDoesNotStopTheRest) {
    const CliRun r = runCli({"--raw"}, "UE0945\nUE\xC0\x80"
                                       "45\n6831234567\n\xFF\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUE0945 + "\r" + kNotice + "\n" + "出厂日期:2010年6月\r" + kNotice + "\n");
    EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 4"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("line 1:"), std::string::npos) << r.err;
}

TEST(DecodeCli, InvalidArgumentIsReportedByPosition) {
    const CliRun r = runCli({"\xE4\xB8", "UE0945"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUE0945 + "\n" + kNotice + "\n");
    EXPECT_NE(r.err.find("argument 1"), std::string::npos) << r.err;
}

TEST(DecodeCli, RealExecutablePrintsTwoLines) {
    const std::string cmd = std::string(PELVORAN_DECODE_EXE) + " --raw UE0945 6831234567";
    std::FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(out, kUE0945 + "\r" + kNotice + "\n" + "出厂日期:2010年6月\r" + kNotice + "\n");
}
