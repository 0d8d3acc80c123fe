#include "server/comments/comment_hold.h"

#include "server/comments/comments_texts.h"
#include "server/support/digest.h"

#include <unictype.h>
#include <uninorm.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <string_view>

namespace pelvoran::server {
namespace {

using Folded = std::u32string;
using FoldedView = std::u32string_view;

bool isDigit(char32_t c) {
    return c >= U'0' && c <= U'9';
}

bool isLetter(char32_t c) {
    return c >= U'a' && c <= U'z';
}

/// A character of a host name's label.
bool isLabelChar(char32_t c) {
    return isLetter(c) || isDigit(c) || c == U'-';
}

/// A character of a messenger id.
bool isIdChar(char32_t c) {
    return isLabelChar(c) || c == U'_';
}

/// What is not seen: format characters (zero-width spaces and joiners, the
/// word joiner, the byte order mark, the soft hyphen, the bidirectional
/// marks, embeddings, overrides and isolates, tags), and what draws nothing
/// though it is no format character: the combining grapheme joiner,
/// variation selectors, the Hangul and Khmer fillers, Mongolian's free
/// variation selectors.
bool isInvisible(char32_t c) {
    return uc_is_general_category(c, UC_CATEGORY_Cf) || c == 0x034F || c == 0x115F || c == 0x1160 ||
           c == 0x17B4 || c == 0x17B5 || (c >= 0x180B && c <= 0x180F) || c == 0x3164 ||
           c == 0xFFA0 || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF);
}

/// White space, and the blank Braille pattern that passes for it.
bool isBlank(char32_t c) {
    return uc_is_property_white_space(c) || c == 0x2800;
}

/// Dashes NFKC leaves as they are, and the long vowel mark typed for one.
bool isDash(char32_t c) {
    return (c >= 0x2010 && c <= 0x2015) || c == 0x2043 || c == 0x2212 || c == 0x2E3A ||
           c == 0x2E3B || c == 0xFE58 || c == 0x30FC;
}

/// Punctuation between a contact word and its id, or between a host name's
/// parts: anything Unicode calls punctuation, and ASCII's other signs, but
/// "_", which ids hold.
bool isPunctuation(char32_t c) {
    if (c == U'_')
        return false;
    if (c < 0x80)
        return (c > U' ' && c < U'0') || (c > U'9' && c < U'A') || (c > U'Z' && c < U'a') ||
               (c > U'z' && c < 0x7F);
    return uc_is_general_category(c, UC_CATEGORY_P);
}

bool startsAt(FoldedView text, std::size_t at, FoldedView word) {
    return text.substr(at, word.size()) == word;
}

// Lens names.

/// A camera or lens model as people write it ("eos-r5", "eosr6",
/// "ef-s18-55", "rf24-105"): a Canon line's name, then a digit or a dash
/// (any letter after "eos"), and a digit somewhere.
bool isModelName(FoldedView id) {
    constexpr FoldedView kLines[] = {U"eos", U"ef", U"rf", U"ts-e", U"mp-e", U"powershot", U"ixus"};
    const auto named = [&](FoldedView line) {
        return id.starts_with(line) && id.size() > line.size() &&
               (line == U"eos" || isDigit(id[line.size()]) || id[line.size()] == U'-');
    };
    return std::any_of(id.begin(), id.end(), isDigit) &&
           std::any_of(std::begin(kLines), std::end(kLines), named);
}

/// A lens's focal length as people write it, without its "mm": "50",
/// "24-105", or after the lens's line, blanks removed ("ef50", "rf24-105").
bool isFocalLength(FoldedView length) {
    const bool numbers = std::all_of(length.begin(), length.end(),
                                     [](char32_t c) { return isDigit(c) || c == U'-'; });
    return std::any_of(length.begin(), length.end(), isDigit) && (numbers || isModelName(length));
}

// Links.

/// The text as a host name would be read from it: "dot" between blanks,
/// "点" and "。" as dots, then no blanks at all, then the bracketed dots.
Folded linkView(FoldedView f) {
    Folded dotted;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] == U'点' || f[i] == U'。') {
            dotted += U'.';
        } else if (f[i] == U'd' && i > 0 && f[i - 1] == U' ' && startsAt(f, i, U"dot ")) {
            dotted += U'.';
            i += 2;
        } else {
            dotted += f[i];
        }
    }
    std::erase(dotted, U' ');
    static constexpr FoldedView kBracketed[] = {U"[.]",   U"(.)",   U"{.}",   U"<.>",   U"【.】",
                                                U"[dot]", U"(dot)", U"{dot}", U"<dot>", U"【dot】"};
    Folded view;
    for (std::size_t i = 0; i < dotted.size(); ++i) {
        const char32_t c = dotted[i];
        const bool opening = c == U'[' || c == U'(' || c == U'{' || c == U'<' || c == U'【';
        const auto bracket =
            opening ? std::find_if(std::begin(kBracketed), std::end(kBracketed),
                                   [&](FoldedView b) { return startsAt(dotted, i, b); })
                    : std::end(kBracketed);
        if (bracket != std::end(kBracketed)) {
            view += U'.';
            i += bracket->size() - 1;
        } else {
            view += dotted[i];
        }
    }
    return view;
}

/// Top-level domains spam names, but none that ends a word a lens comment
/// would put after a full stop ("me", "to", "co", "us") or a model ("pro").
constexpr FoldedView kTopLevel[] = {
    U"com",  U"net",  U"org",  U"cn",    U"top",  U"xyz",   U"vip",     U"info",   U"biz",
    U"cc",   U"tv",   U"io",   U"gl",    U"shop", U"site",  U"club",    U"online", U"app",
    U"link", U"live", U"ltd",  U"work",  U"wang", U"ren",   U"asia",    U"hk",     U"tw",
    U"ru",   U"jp",   U"kr",   U"uk",    U"de",   U"tk",    U"ml",      U"ga",     U"cf",
    U"gq",   U"icu",  U"fun",  U"store", U"tech", U"space", U"website", U"cloud",  U"xin",
    U"win",  U"bid",  U"loan", U"edu",   U"gov"};
/// Those whose names may be digits alone ("163.com"): after any other, a
/// name without a letter is a number ending a sentence.
constexpr FoldedView kNumberedTopLevel[] = {U"com", U"net", U"org"};

bool hasLink(FoldedView f) {
    const Folded v = linkView(f);
    if (v.find(U"://") != Folded::npos)
        return true;
    for (auto at = v.find(U"www."); at != Folded::npos; at = v.find(U"www.", at + 1))
        if (at + 4 < v.size() && (isLetter(v[at + 4]) || isDigit(v[at + 4])))
            return true;
    for (std::size_t dot = v.find(U'.'); dot != Folded::npos; dot = v.find(U'.', dot + 1)) {
        std::size_t start = dot;
        bool lettered = false;
        while (start > 0 && isLabelChar(v[start - 1])) {
            --start;
            lettered = lettered || isLetter(v[start]);
        }
        std::size_t end = dot + 1;
        while (end < v.size() && isLetter(v[end]))
            ++end;
        if (start == dot || end == dot + 1 || (end < v.size() && isIdChar(v[end])))
            continue;
        // A focal length before a full stop ("EF 50mm。CN 版") names a lens.
        if (const FoldedView label = FoldedView(v).substr(start, dot - start);
            label.ends_with(U"mm") && isFocalLength(label.substr(0, label.size() - 2)))
            continue;
        const FoldedView top = FoldedView(v).substr(dot + 1, end - dot - 1);
        const auto known = [&](FoldedView t) { return t == top; };
        if (std::any_of(std::begin(kTopLevel), std::end(kTopLevel), known) &&
            (lettered ||
             std::any_of(std::begin(kNumberedTopLevel), std::end(kNumberedTopLevel), known)))
            return true;
    }
    return false;
}

// Mobile numbers.

bool isMobile(FoldedView digits) {
    return digits.size() == 11 && digits[0] == U'1' && digits[1] >= U'3' && digits[1] <= U'9';
}

/// Between groups of a number: one to three blanks, dashes or dots.
bool isGroupGap(FoldedView gap) {
    return !gap.empty() && gap.size() <= 3 && std::all_of(gap.begin(), gap.end(), [](char32_t c) {
        return c == U' ' || c == U'-' || c == U'.';
    });
}

bool hasMobile(FoldedView f) {
    struct Run {
        std::size_t start, end;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < f.size();) {
        if (!isDigit(f[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < f.size() && isDigit(f[end]))
            ++end;
        runs.push_back({i, end});
        i = end;
    }
    const auto digits = [&](const Run& r) { return f.substr(r.start, r.end - r.start); };
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const FoldedView run = digits(runs[k]);
        if (isMobile(run) ||
            (run.size() == 13 && run.starts_with(U"86") && isMobile(run.substr(2))) ||
            (run.size() == 15 && run.starts_with(U"0086") && isMobile(run.substr(4))))
            return true;
        if (k + 2 < runs.size() && run.size() == 3 && digits(runs[k + 1]).size() == 4 &&
            digits(runs[k + 2]).size() == 4 &&
            isGroupGap(f.substr(runs[k].end, runs[k + 1].start - runs[k].end)) &&
            isGroupGap(f.substr(runs[k + 1].end, runs[k + 2].start - runs[k + 1].end)) &&
            isMobile(Folded(run) + Folded(digits(runs[k + 1])) + Folded(digits(runs[k + 2]))))
            return true;
    }
    return false;
}

// Messenger contacts.

constexpr FoldedView kContactWords[] = {U"qq",   U"扣扣", U"微信",   U"威信",   U"薇信",
                                        U"徽信", U"v信",  U"wechat", U"weixin", U"vx",
                                        U"wx",   U"加我", U"联系"};
/// What may stand between a contact word and its id, besides blanks and
/// punctuation: "QQ号码：", "微信是", "联系方式", "加我的微信 id".
constexpr FoldedView kFillers[] = {U"号码", U"账号", U"帐号", U"号",   U"是",
                                   U"为",   U"我",   U"的",   U"方式", U"id"};
constexpr std::size_t kMostBetween = 8;

/// A lens date code: one or two letters and four digits ("ue0945").
bool isDateCode(FoldedView id) {
    const std::size_t letters = id.size() - 4;
    return (letters == 1 || letters == 2) &&
           std::all_of(id.begin(), id.begin() + letters, isLetter) &&
           std::all_of(id.begin() + letters, id.end(), isDigit);
}

bool isContactId(FoldedView id) {
    if (std::all_of(id.begin(), id.end(), isDigit))
        return id.size() >= 5 && id.size() <= 11 && id[0] != U'0';
    return isLetter(id[0]) && id.size() >= 6 && id.size() <= 20 && !isDateCode(id) &&
           !isModelName(id);
}

bool hasContact(FoldedView f) {
    for (const FoldedView word : kContactWords) {
        const bool latin = word[0] < 0x80;
        const bool allLatin = word.back() < 0x80;
        for (auto at = f.find(word); at != Folded::npos; at = f.find(word, at + 1)) {
            std::size_t j = at + word.size();
            if ((latin && at > 0 && isLetter(f[at - 1])) ||
                (allLatin && j < f.size() && isLetter(f[j])))
                continue;
            for (std::size_t between = 0; j < f.size() && between < kMostBetween;) {
                std::size_t step = f[j] == U' ' || isPunctuation(f[j]) ? 1 : 0;
                for (const FoldedView filler : kFillers)
                    if (step == 0 && startsAt(f, j, filler) &&
                        (filler != U"id" || j + 2 == f.size() || !isIdChar(f[j + 2])))
                        step = filler.size();
                if (step == 0)
                    break;
                j += step;
                between += step;
            }
            std::size_t end = j;
            while (end < f.size() && isIdChar(f[end]))
                ++end;
            if (end > j && isContactId(f.substr(j, end - j)))
                return true;
        }
    }
    return false;
}

// Copies.

/// The text without digits and blanks.
Folded digitless(FoldedView f) {
    Folded out;
    for (const char32_t c : f)
        if (!isDigit(c) && c != U' ')
            out += c;
    return out;
}

/// The 5-character shingles of the text's first kShingledChars characters
/// but blanks, each as a 64-bit FNV-1a hash, sorted, each once.
std::vector<std::uint64_t> shingles(FoldedView f) {
    Folded text;
    for (const char32_t c : f)
        if (c != U' ' && text.size() < CommentHold::kShingledChars)
            text += c;
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i + 5 <= text.size(); ++i) {
        std::uint64_t h = 14695981039346656037ull;
        for (std::size_t k = i; k < i + 5; ++k) {
            h ^= text[k];
            h *= 1099511628211ull;
        }
        out.push_back(h);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

/// Whether |a ∩ b| / |a ∪ b| is 0.8 or more. The walk takes no branch on
/// the hashes, whose order no processor predicts: with one a step it took
/// twice as long (bench/server/hold_bench.cpp).
bool similar(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    std::size_t common = 0;
    for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();) {
        const std::uint64_t x = *i;
        const std::uint64_t y = *j;
        common += x == y;
        i += x <= y;
        j += y <= x;
    }
    const std::size_t all = a.size() + b.size() - common;
    return all > 0 && common * 5 >= all * 4;
}

std::string newSalt() {
    std::random_device random;
    std::string salt;
    for (int i = 0; i < 4; ++i) {
        const unsigned word = random();
        salt.append(reinterpret_cast<const char*>(&word), sizeof word);
    }
    return salt;
}

} // namespace

std::string heldText(const std::string& held) {
    if (held.empty())
        return "";
    return comments_text::heldAs(held == kHeldLink      ? comments_text::kHeldLinkName
                                 : held == kHeldPhone   ? comments_text::kHeldPhoneName
                                 : held == kHeldContact ? comments_text::kHeldContactName
                                 : held == kHeldCopy    ? comments_text::kHeldCopyName
                                                        : comments_text::kHeldUnknown);
}

std::u32string foldedForHolding(const Text& text) {
    Folded units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            units += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            units += u >= 0xD800 && u < 0xE000 ? U'\uFFFD' : static_cast<char32_t>(u);
        }
    }
    std::size_t length = 0;
    const std::unique_ptr<std::uint32_t, decltype(&std::free)> normal(
        u32_normalize(UNINORM_NFKC, reinterpret_cast<const std::uint32_t*>(units.data()),
                      units.size(), nullptr, &length),
        &std::free);
    if (!normal && errno == ENOMEM)
        throw std::bad_alloc();
    const FoldedView nfkc =
        normal ? FoldedView(reinterpret_cast<const char32_t*>(normal.get()), length) : units;
    Folded out;
    out.reserve(nfkc.size());
    for (char32_t c : nfkc) {
        if (isInvisible(c))
            continue;
        if (isBlank(c)) {
            if (!out.empty() && out.back() != U' ')
                out += U' ';
            continue;
        }
        if (isDash(c))
            c = U'-';
        else if (c >= U'A' && c <= U'Z')
            c += U'a' - U'A';
        out += c;
    }
    if (!out.empty() && out.back() == U' ')
        out.pop_back();
    return out;
}

namespace {

std::string reasonOf(FoldedView f) {
    if (hasLink(f))
        return kHeldLink;
    if (hasMobile(f))
        return kHeldPhone;
    if (hasContact(f))
        return kHeldContact;
    return "";
}

} // namespace

std::string textHoldReason(const Text& text) {
    return reasonOf(foldedForHolding(text));
}

CommentHold::CommentHold(const Clock& clock) : clock_(clock), salt_(newSalt()) {}

std::string CommentHold::reason(const Text& text, const std::string& network) {
    const Folded f = foldedForHolding(text);
    std::string why = reasonOf(f);
    const Folded plain = digitless(f);
    if (network.empty() || plain.size() < kShortest)
        return why;
    Seen comment{clock_.now(), "", std::hash<Folded>{}(plain), shingles(f)};
    const std::lock_guard lock(mutex_);
    while (!seen_.empty() && seen_.front().at <= comment.at - kWindow)
        seen_.pop_front();
    if (seen_.empty())
        salt_ = newSalt(); // no hash made with the old one is left
    comment.network = sha256Hex(salt_ + network);
    if (why.empty()) {
        const bool copy = std::any_of(seen_.begin(), seen_.end(), [&](const Seen& s) {
            return s.network != comment.network &&
                   (s.digitless == comment.digitless || similar(s.shingles, comment.shingles));
        });
        if (copy)
            why = kHeldCopy;
    }
    seen_.push_back(std::move(comment));
    if (seen_.size() > kKept)
        seen_.pop_front();
    return why;
}

} // namespace pelvoran::server
