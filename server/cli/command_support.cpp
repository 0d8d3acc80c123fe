#include "server/cli/command_support.h"

#include "server/cli/cli_texts.h"

#include <ctime>
#include <stdexcept>
#include <time.h>

namespace pelvoran::server {

void say(std::FILE* to, const std::string& line) {
    std::fprintf(to, "%s\n", line.c_str());
}

Parsed parse(const std::vector<std::string>& args, const std::set<std::string>& known,
             const std::set<std::string>& repeatable) {
    Parsed p;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!a.starts_with("--")) {
            p.words.push_back(a);
            continue;
        }
        std::string name = a;
        std::optional<std::string> value;
        if (const auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        if (!known.contains(name))
            throw UsageError{cli_text::unknownOption(name)};
        if (!value) {
            if (i + 1 >= args.size())
                throw UsageError{cli_text::missingValue(name)};
            value = args[++i];
        }
        if (repeatable.contains(name))
            p.repeated[name].push_back(*value);
        else if (!p.options.emplace(name, *value).second)
            throw UsageError{cli_text::givenTwice(name)};
    }
    return p;
}

std::string optionOr(const Parsed& p, const std::string& name, const std::string& fallback) {
    const auto it = p.options.find(name);
    return it == p.options.end() ? fallback : it->second;
}

unsigned number(const Parsed& p, const std::string& name, unsigned fallback, unsigned max) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    const std::string& v = it->second;
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(v) > max)
        throw UsageError{cli_text::notWholeNumber(name, std::to_string(max))};
    return static_cast<unsigned>(std::stoul(v));
}

/// A number of bytes: digits, then optionally K or M (1024, 1024²).
std::uint64_t byteSize(const Parsed& p, const std::string& name, std::uint64_t fallback) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    std::string v = it->second;
    std::uint64_t unit = 1;
    if (!v.empty() && (v.back() == 'K' || v.back() == 'k' || v.back() == 'M' || v.back() == 'm')) {
        unit = v.back() == 'K' || v.back() == 'k' ? 1024 : 1024 * 1024;
        v.pop_back();
    }
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{cli_text::notByteSize(name)};
    return std::stoull(v) * unit;
}

Endpoint endpoint(const Parsed& p, const std::string& name, const Endpoint& fallback) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    const auto e = parseEndpoint(it->second);
    if (!e)
        throw UsageError{cli_text::notEndpoint(name)};
    return *e;
}

std::vector<Endpoint> endpoints(const Parsed& p, const std::string& name,
                                const Endpoint& fallback) {
    const auto it = p.repeated.find(name);
    if (it == p.repeated.end())
        return {fallback};
    std::vector<Endpoint> all;
    for (const auto& text : it->second) {
        const auto e = parseEndpoint(text);
        if (!e)
            throw UsageError{cli_text::notEndpoints(name, text)};
        all.push_back(*e);
    }
    return all;
}

/// Local midnight of "YYYY-MM-DD", as seconds since 1970.
std::optional<std::chrono::sys_seconds> since(const Parsed& p) {
    const auto it = p.options.find("--since");
    if (it == p.options.end())
        return std::nullopt;
    std::tm tm{};
    const char* end = strptime(it->second.c_str(), "%Y-%m-%d", &tm);
    if (end == nullptr || *end != '\0' || it->second.size() != 10)
        throw UsageError{cli_text::kSinceNotDate};
    tm.tm_isdst = -1;
    const std::tm asWritten = tm;
    const std::time_t t = std::mktime(&tm);
    // mktime() moves 2026-02-31 to 2026-03-03: a day that does not exist.
    if (t == static_cast<std::time_t>(-1) || tm.tm_year != asWritten.tm_year ||
        tm.tm_mon != asWritten.tm_mon || tm.tm_mday != asWritten.tm_mday)
        throw UsageError{cli_text::sinceNoSuchDay(it->second), false};
    return std::chrono::sys_seconds(std::chrono::seconds(t));
}

void expectWords(const Parsed& p, std::size_t n) {
    if (p.words.size() > n)
        throw UsageError{cli_text::extraArgument(p.words[n])};
}

} // namespace pelvoran::server
