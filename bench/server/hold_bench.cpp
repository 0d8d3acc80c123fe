// What the rules that hold likely spam (comment_hold) cost the listener's
// thread, which runs them on every comment before handing it to the writer:
// CommentHold::reason() on an ordinary comment and on the largest the
// listener takes (a body of kMaxBody), by the text's rules alone (a client
// whose network is unknown) and with the near-copy check against a full
// memory (kKept comments from other networks, none alike, so that every one
// is compared). The limits, in the same run: for the rules, decoding the
// same body (decodeDesktopComment), which that thread does for every comment
// anyway; for the memory, a bare loop that only compares sorted shingle sets
// of the same sizes with as many, as any near-copy check by shingles must.
// Bodies are what the tool sends: GBK byte pairs, %-escaped.
//
//   hold_bench --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
//
// interleaves the repetitions of all of them at random (docs/benchmarks.md).
#include "net/escaping.h"
#include "server/comments/comment_decoding.h"
#include "server/comments/comment_hold.h"
#include "server/http/web.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::server;

namespace {

/// An ordinary comment: a lens, a serial, a date code, a question.
const Text kOrdinary = u"EF 24-105mm f/4L IS USM，编号 2345678901，镜头上的日期码是 UE0945，"
                       u"请问是哪一年哪个月在哪个工厂生产的？谢谢！";

/// `chars` characters drawn from common Chinese characters, lens words and
/// punctuation, so that no two texts share shingles by more than chance.
Text randomText(std::mt19937& random, std::size_t chars) {
    static const Text kWords[] = {u"镜头", u"编号", u"日期",   u"工厂", u"生产", u"光圈", u"对焦",
                                  u"变焦", u"卡口", u"说明书", u"EF",   u"RF",   u"USM",  u"，",
                                  u"。",   u"？",   u"mm",     u"f/4",  u"L",    u"IS"};
    Text out;
    while (out.size() < chars) {
        if (random() % 3 == 0)
            out += kWords[random() % std::size(kWords)];
        else
            out += static_cast<char16_t>(0x4E00 + random() % 0x5000); // CJK ideographs
    }
    out.resize(chars);
    return out;
}

/// The body the tool posts for `text`, cut to `most` bytes at a character.
std::string bodyOf(const Text& text, std::size_t most = kMaxBody) {
    std::string body = "CommentText=";
    for (const char16_t c : text) {
        const Text one = URLEncoding(Text(1, c));
        if (body.size() + one.size() > most)
            break;
        for (const char16_t b : one)
            body += static_cast<char>(b);
    }
    return body;
}

/// The largest body the listener takes: kMaxBody bytes of Chinese text.
const std::string& largestBody() {
    static const std::string body = [] {
        std::mt19937 random(1);
        return bodyOf(randomText(random, kMaxBody / 3)); // cut at kMaxBody
    }();
    return body;
}

const std::string& ordinaryBody() {
    static const std::string body = bodyOf(kOrdinary);
    return body;
}

Text decoded(const std::string& body) {
    auto text = decodeDesktopComment(body);
    if (!text) // a body the bench made wrong: no figure at all
        std::abort();
    return *text;
}

/// The limit: decoding the body.
void BM_Decode(benchmark::State& state, const std::string& (*body)()) {
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeDesktopComment(body()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body().size()));
}

/// The text's rules alone: a client whose network is unknown is remembered
/// by nothing.
void BM_Rules(benchmark::State& state, const std::string& (*body)()) {
    const Text text = decoded(body());
    CommentHold hold;
    for (auto _ : state)
        if (!hold.reason(text, "").empty())
            state.SkipWithError("held: the bench's text should pass");
    state.counters["characters"] = static_cast<double>(text.size());
    state.counters["body_bytes"] = static_cast<double>(body().size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body().size()));
}

/// The rules and the near-copy check against a full memory of random texts
/// as long as the body's (up to the characters compared), each from a
/// network of its own: every comment remembered is compared, and the new
/// one, from yet another network, replaces the oldest, so that the memory
/// stays full.
void BM_RulesAndCopies(benchmark::State& state, const std::string& (*body)()) {
    const Text text = decoded(body());
    const std::size_t chars = std::min<std::size_t>(text.size(), CommentHold::kShingledChars + 100);
    std::mt19937 random(static_cast<unsigned>(chars));
    CommentHold hold;
    std::uint64_t network = 0;
    const auto next = [&] { return "net-" + std::to_string(++network); };
    for (std::size_t n = 0; n < CommentHold::kKept; ++n)
        if (!hold.reason(randomText(random, chars), next()).empty())
            std::abort(); // a random text taken for spam: the memory is not what is meant
    // Beginnings and networks of their own, made beforehand; each comes
    // again only once it has left the memory. The beginning is long enough
    // that no two probes are alike by the shingles they compare; writing it
    // over the text's is a copy of at most a few kilobytes.
    const std::size_t own = std::min(text.size(), text.size() > 100 ? chars : 30);
    std::vector<Text> beginnings;
    std::vector<std::string> networks;
    for (std::size_t n = 0; n < 2 * CommentHold::kKept; ++n) {
        beginnings.push_back(randomText(random, own));
        networks.push_back(next());
    }
    Text probe = text;
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t at = i++ % beginnings.size();
        std::copy(beginnings[at].begin(), beginnings[at].end(), probe.begin());
        if (!hold.reason(probe, networks[at]).empty()) {
            state.SkipWithError("held: the probes should pass");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body().size()));
}

/// The memory's limit: the sorted sets of 64-bit shingles of a comment
/// compared with those of kKept others, the Jaccard similarity of each pair
/// weighed against 0.8, and nothing else.
void BM_BareComparisons(benchmark::State& state, const std::string& (*body)()) {
    const std::size_t chars = std::min(decoded(body()).size(), CommentHold::kShingledChars);
    const std::size_t count = chars - 4; // 5-character shingles
    std::mt19937_64 random(count);
    const auto set = [&] {
        std::vector<std::uint64_t> s(count);
        for (auto& h : s)
            h = random();
        std::sort(s.begin(), s.end());
        return s;
    };
    std::vector<std::vector<std::uint64_t>> kept, probes;
    for (std::size_t n = 0; n < CommentHold::kKept; ++n)
        kept.push_back(set());
    for (std::size_t n = 0; n < 64; ++n)
        probes.push_back(set());
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& b = probes[i++ % probes.size()];
        std::size_t alike = 0;
        for (const auto& a : kept) {
            std::size_t common = 0;
            // Without a branch on the hashes, as the fastest plain walk.
            for (auto x = a.begin(), y = b.begin(); x != a.end() && y != b.end();) {
                const std::uint64_t p = *x;
                const std::uint64_t q = *y;
                common += p == q;
                x += p <= q;
                y += q <= p;
            }
            alike += common * 5 >= (a.size() + b.size() - common) * 4;
        }
        benchmark::DoNotOptimize(alike);
    }
}

BENCHMARK_CAPTURE(BM_Decode, ordinary, ordinaryBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Rules, ordinary, ordinaryBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RulesAndCopies, ordinary, ordinaryBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_BareComparisons, ordinary, ordinaryBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Decode, largest, largestBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Rules, largest, largestBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RulesAndCopies, largest, largestBody)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_BareComparisons, largest, largestBody)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
