// The release on its own: the reply read back by the tool's own unescaping
// and field cutting, the release's checks, and its signature.
#include "net/escaping.h"
#include "net/update_check.h"
#include "platform/hex.h"
#include "platform/regional.h"
#include "platform/signature.h"
#include "platform/version.h"
#include "server/release/agent.h"
#include "server/release/release.h"
#include "server/release/release_file.h"
#include "server/release/release_reply.h"
#include "server/release/release_signing.h"
#include "server/release/release_texts.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::server;

TEST(ReleaseReply, TheToolReadsBackExactlyTheFieldsPublished) {
    const Release cases[] = {
        {u"1.06", u"http://example.com/a b.exe", u"2026-12-01", u"Fixes"},
        {u"2.00", u"https://x.cn/下载?a=1&b=%41", u"2026年12月1日", u"100% 完成；%u4E2D 不是转义"},
        {u"1.10", u"http://x/", u"", u"表情😀\r\n第二行\n第三行 + [;"},
        {u"1.06", u"http://x/%", u"%", u"%25%"},
    };
    for (const auto& r : cases) {
        const std::string body = replyBody(r);
        EXPECT_EQ(body.find_first_not_of(
                      "\t\r\n !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                      "abcdefghijklmnopqrstuvwxyz{|}~"),
                  std::string::npos)
            << body;
        Text wire;
        for (const char c : body)
            wire += static_cast<char16_t>(static_cast<unsigned char>(c));
        const auto fields = splitReplyFields(Decode(wire));
        ASSERT_EQ(fields.size(), 4u) << body;
        EXPECT_EQ((Release{fields[0], fields[1], fields[2], fields[3]}), r) << body;
        EXPECT_FALSE(checkRelease(r).has_value()) << body;
    }
}

// What reads differently from what the tool does is refused, in the field
// at fault; its neighbours stay fine.
TEST(ReleaseChecks, RefusesWhatMisleadsThePublisherOrTheUser) {
    const Release good{u"1.06", u"https://x.cn/a.exe", u"2026-12-01", u"Fixes\nMore"};
    const struct {
        ReleaseField field;
        Text value;
        bool refused;
        const char* says = ""; // in the message
    } cases[] = {
        {ReleaseField::Version, u"1.06\u202E", true},
        {ReleaseField::Address, u"https://x.cn/\u202Eexe.txt", true},
        {ReleaseField::Date, u"\u20662026\u2069", true},
        {ReleaseField::Notes, u"a\u061Cb", true},
        {ReleaseField::Notes, u"a\u200Eb", true},
        {ReleaseField::Notes, u"a\u200Fb", true},
        {ReleaseField::Notes, u"a\u202Ab", true},
        {ReleaseField::Notes, u"a\u2067b", true},
        {ReleaseField::Notes, u"a\u2029b", true},
        {ReleaseField::Notes, u"a\u200Bb", true, "U+200B"},
        {ReleaseField::Notes, u"a\u200Cb", true, "U+200C"},
        {ReleaseField::Version, u"1.06\u200D", true, "U+200D"},
        {ReleaseField::Address, u"https://x.cn/\u2060a.exe", true, "U+2060"},
        {ReleaseField::Date, u"2026\u2064", true, "U+2064"},
        {ReleaseField::Notes, u"\uFEFFa", true, "U+FEFF"},
        {ReleaseField::Notes, u"a\uFFF9b\uFFFB", true, "U+FFF9"},
        {ReleaseField::Notes, u"soft\u00ADhyphen", true, "U+00AD"},
        {ReleaseField::Notes, u"tag \U000E0041", true, "U+E0041"},
        {ReleaseField::Notes, u"a\u200A\u2010\u2065\u202F\uFFF8\uFFFC\U000E0080b", false},
        {ReleaseField::Address, u"http://pelvoran.example.com@evil.example/x.exe", true},
        {ReleaseField::Address, u"https://user:pw@x.cn/a.exe", true},
        {ReleaseField::Address, u"http://x.cn\\@evil.example/", true},
        {ReleaseField::Address, u"http://x.cn/a@b.exe", false},
        {ReleaseField::Address, u"http://x.cn?from=a@b", false},
        {ReleaseField::Version, u"01.07", true},
        {ReleaseField::Version, u"007", true},
        {ReleaseField::Version, u"10.07", false},
        {ReleaseField::Version, u"100.00", false},
    };
    for (const auto& c : cases) {
        Release r = good;
        (c.field == ReleaseField::Version   ? r.version
         : c.field == ReleaseField::Address ? r.address
         : c.field == ReleaseField::Date    ? r.date
                                            : r.notes) = c.value;
        const auto problem = checkRelease(r);
        EXPECT_EQ(problem.has_value(), c.refused) << toUtf8(c.value);
        if (problem && c.refused) {
            EXPECT_EQ(problem->field, c.field) << toUtf8(c.value);
            EXPECT_NE(toUtf8(problem->message).find(c.says), std::string::npos)
                << toUtf8(problem->message);
        }
    }
    // "0.5" is refused as older than the tool, not for its zero.
    Release older = good, old = good;
    older.version = u"0.5";
    old.version = u"1.04";
    ASSERT_TRUE(checkRelease(older).has_value());
    EXPECT_EQ(checkRelease(older)->message, checkRelease(old)->message);
}

// A version has two decimals, as "1.6" (1.60 to the tool, above 1.07) is
// easily meant as 1.06; what it may have meant is offered.
TEST(ReleaseChecks, VersionsHaveTwoDecimals) {
    // The readings offered, as the message ends.
    const auto meant = [](const Text& first, const Text& second = u"") {
        return release_text::kDidYouMean + first +
               (second.empty() ? Text() : release_text::kOr + second) + release_text::kQuestionMark;
    };
    const struct {
        Text version;
        Text ends; // the message's end; empty: accepted
    } cases[] = {
        {u"1.06", u""},
        {u"1.60", u""},
        {u"2.00", u""},
        {u"10.07", u""},
        {u"1.6", meant(u"1.06", u"1.60")},
        {u"2", meant(u"2.00")},
        {u"1.060", meant(u"1.06", u"1.60")},
        {u"1.600", meant(u"1.60")},
        {u"2.006", meant(u"2.06")},
        {u"1.065", meant(u"1.65")},
        {u"1.5", meant(u"1.50")}, // 1.05 is no version a tool would offer
        {u"10", meant(u"10.00")},
        {u"1.123", release_text::kTwoDecimals},
        {u"01.06", release_text::kLeadingZero},
        {u"1.0", release_text::notAboveFirst(fromUtf8Lenient(kFirstFieldVersion))},
    };
    for (const auto& c : cases) {
        const auto problem = checkRelease({c.version, u"https://x.cn/a.exe", u"d", u"n"});
        const std::string message = problem ? toUtf8(problem->message) : "";
        EXPECT_TRUE(message.ends_with(toUtf8(c.ends))) << toUtf8(c.version) << ": " << message;
        EXPECT_EQ(message.empty(), c.ends.empty()) << toUtf8(c.version) << ": " << message;
    }
}

// The release form shows every field at fault at once, each with its own
// first problem.
TEST(ReleaseChecks, EveryFieldAtFaultIsNamed) {
    using F = ReleaseField;
    const struct {
        Release release;
        std::vector<F> fields;
    } cases[] = {
        {{u"1.06", u"https://x.cn/a.exe", u"2026", u"ok"}, {}},
        {{u"1.05", u"javascript:alert(1)", u"2026", u"ok"}, {F::Version, F::Address}},
        {{u"01.07", u"https://x.cn/a.exe", u"a[;]b", u"一行\n" + Text(21 * 3, u'x')},
         {F::Version, F::Date}},
        {{u"x", u"ftp://x.cn/", u"\u202E", Text(1001, u'x')},
         {F::Version, F::Address, F::Date, F::Notes}},
    };
    for (const auto& c : cases) {
        std::vector<F> fields;
        for (const auto& p : releaseProblems(c.release))
            fields.push_back(p.field);
        EXPECT_EQ(fields, c.fields) << toUtf8(c.release.version);
        EXPECT_EQ(checkRelease(c.release).has_value(), !c.fields.empty());
    }
}

// Keys and signatures are base64url without padding, one text for each
// byte string: the last character's spare bits zero, no other alphabet.
TEST(ReleaseSigning, KeysAndSignaturesAreBase64Url) {
    const struct {
        const char* text;
        std::optional<std::string> bytes;
    } cases[] = {
        {"", std::string()},
        {"A", std::nullopt},
        {"AAAAA", std::nullopt},
        {"AA", std::string(1, '\x00')},
        {"Aw", std::string(1, '\x03')},
        {"AB", std::nullopt},
        {"A0", std::nullopt},
        {"AA8", std::string("\x00\x0f", 2)},
        {"AAE", std::string("\x00\x01", 2)},
        {"AAD", std::nullopt},
        {"AA-", std::nullopt},
        {"AA_", std::nullopt},
        {"AAAA", std::string(3, '\x00')},
        {"_w", std::string(1, '\xff')},
        {"-_-_", std::string("\xfb\xff\xbf", 3)},
        {"AA==", std::nullopt},
        {"AA+/", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeBase64Url(c.text), c.bytes) << c.text;

    // A signature with bytes after it, and a key in the hybrid form (0x06 or
    // 0x07 where 0x04 stands), are other texts for the same: both refused.
    const SigningKey key = createSigningKey();
    const Release r{u"1.06", u"https://x.cn/a.exe", u"d", u"n"};
    const std::string message = releaseMessage(r.version, r.address, r.date, r.notes);
    const std::string signature = signRelease(key.privatePem, r);
    ASSERT_TRUE(releaseSignatureValid(key.publicKey, message, signature));
    EXPECT_FALSE(releaseSignatureValid(key.publicKey, message, signature + "AA"));
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (const std::size_t topBits : {0x20u, 0x30u}) {
        std::string hybrid = key.publicKey;
        hybrid[1] = alphabet[alphabet.find(hybrid[1]) | topBits];
        EXPECT_FALSE(publicKeyValid(hybrid)) << hybrid;
        EXPECT_FALSE(releaseSignatureValid(hybrid, message, signature)) << hybrid;
    }
}

// A signature that only the notes' line breaks keep from verifying says so.
TEST(ReleaseSigning, ALineBreakMismatchIsNamed) {
    const SigningKey key = createSigningKey();
    const Release lf{u"1.06", u"https://x.cn/a.exe", u"d", u"一\n二"};
    Release crLf = lf, other = lf;
    crLf.notes = u"一\r\n二";
    other.notes = u"一\n三";
    const struct {
        Release published;
        Release signedOne;
        const char16_t* says;
    } cases[] = {
        {lf, crLf, release_text::kSignedWithCrLf},
        {crLf, lf, release_text::kSignedWithLf},
        {lf, other, release_text::kSignatureMismatch},
    };
    for (auto c : cases) {
        c.published.signature = signRelease(key.privatePem, c.signedOne);
        const auto problems = signingProblems(c.published, key.publicKey);
        ASSERT_EQ(problems.size(), 1u) << toUtf8(c.says);
        EXPECT_EQ(problems[0].field, ReleaseField::Signature);
        EXPECT_EQ(toUtf8(problems[0].message), toUtf8(c.says));
    }
}

TEST(ReleaseAgent, OnlyTheToolsOwnAgentIsRead) {
    const struct {
        const char* agent;
        Agent expected;
    } cases[] = {
        {"Pelvoran/1.06 (Windows)", {"1.06", Platform::Windows}},
        {"Pelvoran/2.10 (Linux)", {"2.10", Platform::Linux}},
        {"", {}},
        {"curl/8.5.0", {}},
        {"Pelvoran/1.06", {}},
        {"Pelvoran/1.6 (Windows)", {}},
        {"Pelvoran/1.060 (Windows)", {}},
        {"Pelvoran/1.06 (windows)", {}},
        {"Pelvoran/1.06 (Linux) extra", {}},
        {"Pelvoran/1.06  (Linux)", {}},
        {"pelvoran/1.06 (Linux)", {}},
        {"Pelvoran/1,06 (Linux)", {}},
        {"Pelvoran/1.0x (Linux)", {}},
        {"Pelvoran/\xef\xbc\x91.06 (Linux)", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseAgent(c.agent), c.expected) << c.agent;
    EXPECT_EQ(parseAgent("Pelvoran/1.06 (Linux)" + std::string(100000, 'x')), Agent{});
    // Cut short with no terminator after it: nothing past its end is read.
    const std::string whole = "Pelvoran/1.06 (Linux)";
    const std::vector<char> cut(whole.begin(), whole.begin() + 12);
    EXPECT_EQ(parseAgent(std::string_view(cut.data(), cut.size())), Agent{});
}

namespace {

/// What the tool makes of a reply body: its offer, read by its own reader.
std::optional<UpdateOfferBox> toolOffer(const std::string& body) {
    Text wire;
    for (const char c : body)
        wire += static_cast<char16_t>(static_cast<unsigned char>(c));
    return updateOffer(splitReplyFields(Decode(wire)), RegionalSettings::invariant());
}

Release release(const char16_t* version) {
    return {version, u"https://x.cn/p", u"d", u"n"};
}

/// `count` distinct networks, as ClientAddress::networkKey writes IPv4 /24s.
std::vector<std::string> networks(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back("4" + std::string{static_cast<char>(10 + i / 65536),
                                        static_cast<char>(i / 256 % 256),
                                        static_cast<char>(i % 256)});
    return out;
}

} // namespace

// Each platform's tools get its release; an unknown agent (1.05 or older)
// the Windows one; a Linux tool with no Linux release a reply its reader
// takes as no newer version, never the Windows file.
TEST(ReleaseReply, EachPlatformGetsItsOwnRelease) {
    ReleaseReply reply;
    reply.set(Platform::Windows, {release(u"1.07")});
    const Agent windows{"1.06", Platform::Windows}, linux{"1.06", Platform::Linux}, unknown{};
    const struct {
        Agent agent;
        std::string offered;
    } before[] = {{windows, "1.07"}, {unknown, "1.07"}, {linux, ""}};
    for (const auto& c : before) {
        const auto answer = reply.choose(c.agent, "4abc");
        EXPECT_EQ(answer.offered, c.offered) << c.agent.version;
        EXPECT_EQ(answer.platform, c.agent.platform);
        EXPECT_EQ(toolOffer(*answer.body).has_value(), !c.offered.empty()) << *answer.body;
    }
    reply.set(Platform::Linux, {release(u"1.08")});
    EXPECT_EQ(*reply.choose(linux, "4abc").body, replyBody(release(u"1.08")));
    EXPECT_EQ(*reply.choose(unknown, "").body, replyBody(release(u"1.07")));
}

// A reply offers a version only when it is newer than the tool's own, as
// the tool itself compares them: a tool already on it, or past it, is
// answered with it but offered nothing; a tool that sends no version is
// older than every release.
TEST(ReleaseReply, AnOfferIsAVersionNewerThanTheTools) {
    const struct {
        Agent agent;
        const char16_t* release;
        bool offered;
    } cases[] = {
        {{"1.06", Platform::Windows}, u"1.07", true},
        {{"1.07", Platform::Windows}, u"1.07", false},
        {{"1.08", Platform::Linux}, u"1.07", false},
        {{}, u"1.07", true},
        {{"9.99", Platform::Windows}, u"10.00", true},
        {{"1.09", Platform::Linux}, u"1.10", true},
    };
    for (const auto& c : cases) {
        ReleaseReply reply;
        reply.set(c.agent.platform.value_or(Platform::Windows), {release(c.release)});
        const auto answer = reply.choose(c.agent, "4abc");
        EXPECT_EQ(*answer.body, replyBody(release(c.release))) << "answered alike";
        EXPECT_EQ(answer.offered, c.offered ? toUtf8(c.release) : "")
            << c.agent.version << " asking, " << toUtf8(c.release) << " published";
    }
    // The tool of this build agrees: a reply counted as an offer is one its
    // reader shows.
    char own[16];
    std::snprintf(own, sizeof own, "%.2f", CURRENT_VERSION);
    for (const char16_t* version : {u"1.04", u"1.05", u"1.06", u"1.10", u"2.00"}) {
        ReleaseReply reply;
        reply.set(Platform::Linux, {release(version)});
        const auto answer = reply.choose({own, Platform::Linux}, "4abc");
        EXPECT_EQ(!answer.offered.empty(), toolOffer(*answer.body).has_value())
            << own << " asking, " << toUtf8(version) << " published";
    }
}

// A staged release reaches its share of 10,000 networks, the same ones on
// every check; raising the share only adds networks; another release (its
// own key) draws others; the rest, and every network after a halt, get the
// earlier release; an unknown network is outside.
TEST(ReleaseReply, RolloutReachesAStableShareOfNetworks) {
    const auto all = networks(10000);
    ReleaseReply reply;
    const Agent agent{"1.06", Platform::Windows};
    const auto reached = [&](int percent, const std::string& key) {
        reply.set(Platform::Windows, {release(u"1.08"), percent, key, release(u"1.07")});
        std::vector<bool> in;
        for (const auto& n : all) {
            const auto answer = reply.choose(agent, n);
            EXPECT_EQ(answer.offered, in.emplace_back(answer.offered == "1.08") ? "1.08" : "1.07");
        }
        return in;
    };
    const auto share = [](const std::vector<bool>& in) {
        return static_cast<double>(std::count(in.begin(), in.end(), true)) / 100.0;
    };
    const std::string key = newRolloutKey(), other = newRolloutKey();
    const auto ten = reached(10, key);
    EXPECT_NEAR(share(ten), 10, 2);
    EXPECT_EQ(reached(10, key), ten) << "the same networks on every check";
    const auto fifty = reached(50, key);
    EXPECT_NEAR(share(fifty), 50, 2);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_TRUE(!ten[i] || fifty[i]) << "network " << i << " lost the release at 50 %";
    const auto drawnElse = reached(10, other);
    int both = 0;
    for (std::size_t i = 0; i < all.size(); ++i)
        both += ten[i] && drawnElse[i];
    EXPECT_LT(both, 300) << "two keys drew the same first group";
    EXPECT_EQ(share(reached(0, key)), 0) << "halted";
    EXPECT_EQ(share(reached(100, key)), 100);
    reply.set(Platform::Windows, {release(u"1.08"), 99, key});
    EXPECT_EQ(reply.choose(agent, "").offered, "") << "an unknown network, no earlier release";
    EXPECT_FALSE(toolOffer(*reply.choose(agent, "").body));
}

// The draw is fixed, so that no upgrade of the server reshuffles which
// networks a staged release reaches: the first eight bytes of HMAC-SHA-256
// of the network under the key, big-endian, modulo 100 (figures from
// Python's hmac). A network drawn d is outside a rollout of d %, inside one
// of d + 1 %.
TEST(ReleaseReply, TheDrawIsFixedAndARolloutOfItsPercentageLeavesItOut) {
    using namespace std::string_view_literals;
    const std::string key = "pelvoran-rollout";
    const struct {
        std::string_view network;
        unsigned draw;
    } cases[] = {{"4\x0a\x00\x00"sv, 92},
                 {"4\xcb\x00\x71"sv, 18},
                 {"6\x20\x01\x0d\xb8\x00\x01"sv, 90},
                 {"4\xc0\xa8\x01"sv, 24},
                 {"4\x08\x08\x08"sv, 26},
                 {"4\xc6\x00\x10"sv, 0}}; // in a rollout of 1 %
    ReleaseReply reply;
    const Agent agent{"1.06", Platform::Windows};
    for (const auto& c : cases) {
        EXPECT_EQ(rolloutDraw(key, c.network), c.draw);
        for (const unsigned percent : {c.draw, c.draw + 1}) {
            reply.set(Platform::Windows,
                      {release(u"1.08"), static_cast<int>(percent), key, release(u"1.07")});
            EXPECT_EQ(reply.choose(agent, c.network).offered, percent > c.draw ? "1.08" : "1.07")
                << "drawn " << c.draw << ", rollout " << percent << " %";
        }
    }
}

// A percentage is a whole number from 0 to 100, nothing else.
TEST(ReleaseReply, PercentagesAreWholeNumbersToAHundred) {
    const struct {
        const char* text;
        std::optional<int> expected;
    } cases[] = {{"0", 0}, {"10", 10},  {"100", 100}, {"007", 7},  {"101", {}},  {"-1", {}},
                 {"", {}}, {"1.5", {}}, {" 10", {}},  {"10%", {}}, {"1000", {}}, {"+5", {}}};
    for (const auto& c : cases)
        EXPECT_EQ(parsePercentage(c.text), c.expected) << c.text;
}

// What a served file may be called, what its base address may be, and
// where it is published.
TEST(ReleaseFiles, NamesBasesAndAddresses) {
    for (const char* good : {"Pelvoran.exe", "pelvoran_1.06-1_amd64.deb",
                             "pelvoran_1.05+20261209120801_amd64.deb", "a", "a..b"})
        EXPECT_TRUE(isDownloadName(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string(".x"), std::string("a/b"),
          std::string("a b"), std::string("镜头.exe"), std::string("a%2e"), std::string(101, 'a')})
        EXPECT_FALSE(isDownloadName(bad)) << bad;
    EXPECT_TRUE(isDownloadName(std::string(100, 'a')));
    const struct {
        const char* base;
        bool keyed;
        bool taken;
    } bases[] = {
        {"https://example.com/p", true, true},
        {"http://example.com", false, true},
        {"http://example.com", true, false},
        {"ftp://example.com", false, false},
        {"https:///p", false, false},
        {"https://user@example.com", false, false},
        {"https://example.com/?a=1", false, false},
        {"https://example.com/#x", false, false},
        {"https://example.com/a b", false, false},
    };
    for (const auto& b : bases)
        EXPECT_EQ(!downloadBaseProblem(b.base, b.keyed).has_value(), b.taken) << b.base;
    EXPECT_EQ(downloadAddress("https://x.cn/p", Platform::Linux, "1.06", "a.deb"),
              "https://x.cn/p/download/linux/1.06/a.deb");
    EXPECT_EQ(downloadAddress("https://x.cn/", Platform::Windows, "1.06", "a.exe"),
              "https://x.cn/download/windows/1.06/a.exe");
    const struct {
        std::int64_t bytes;
        std::string shown;
    } sizes[] = {
        {999, "999" + std::string(release_text::kBytes)},
        {1000, "1 KB"},
        {300000, "300 KB"},
        {999499, "999 KB"},
        {999500, "1.0 MB"},
        {1048576, "1.0 MB"},
        {1500000, "1.5 MB"},
        {999949999, "999.9 MB"},
        {999950000, "1.0 GB"},
        {1073741824, "1.1 GB"},
    };
    for (const auto& s : sizes)
        EXPECT_EQ(sizeText(s.bytes), s.shown) << s.bytes;
}
