#pragma once

// The locales the tests run under are generated at build time from the
// `locales` package sources into the build tree (tests/CMakeLists.txt), so no
// test depends on what the machine has installed.

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::test {

/// For its lifetime, the process's locale environment names one of the
/// generated locales ("de_DE.UTF-8") and nothing else; the variables it
/// touched are restored afterwards.
class ScopedLocale {
public:
    explicit ScopedLocale(const std::string& name) {
        for (const char* var : kVariables) {
            const char* v = std::getenv(var);
            saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
            unsetenv(var);
        }
        setenv("LOCPATH", PELVORAN_TEST_LOCPATH, 1);
        setenv("LC_ALL", name.c_str(), 1);
    }
    ~ScopedLocale() {
        for (std::size_t i = 0; i < std::size(kVariables); ++i) {
            if (saved_[i])
                setenv(kVariables[i], saved_[i]->c_str(), 1);
            else
                unsetenv(kVariables[i]);
        }
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

private:
    static constexpr const char* kVariables[] = {"LOCPATH",    "LC_ALL",  "LANG",
                                                 "LC_NUMERIC", "LC_TIME", "LC_CTYPE"};
    std::vector<std::optional<std::string>> saved_;
};

} // namespace pelvoran::test
