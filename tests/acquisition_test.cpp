#include "net/http_acquisition.h"
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using namespace pelvoran;

namespace {

/// A request object that only says which class made it.
class Marker final : public HttpRequest {
public:
    explicit Marker(std::string name) : cls(std::move(name)) {}
    void Open(std::string_view, const Text&, bool) override {}
    void setRequestHeader(std::string_view, std::string_view) override {}
    void send(std::optional<Text>) override {}
    int readyState() const override { return 0; }
    int Status() const override { return 0; }
    Text responseText() const override { return {}; }
    std::optional<std::string> getResponseHeader(std::string_view) const override { return {}; }
    void abort() override {}
    std::string cls;
};

/// Registers the six names; those in `failing` cannot be created.
HttpComponentRegistry registry(std::vector<std::string>& attempts,
                               const std::set<std::string>& failing) {
    HttpComponentRegistry r;
    for (const char* name : kHttpClassNames) {
        r.add(name, [&attempts, failing, n = std::string(name)]() -> std::unique_ptr<HttpRequest> {
            attempts.push_back(n);
            if (failing.count(n))
                throw StepError(kCannotCreateObject, "class not registered");
            return std::make_unique<Marker>(n);
        });
    }
    return r;
}

std::string classOf(const std::unique_ptr<HttpRequest>& p) {
    return p ? static_cast<Marker*>(p.get())->cls : "none";
}

} // namespace

TEST(CreateHttpClient, StopsAtTheFirstClassThatCanBeCreated) {
    struct Case {
        std::set<std::string> failing;
        std::vector<std::string> attempts;
        bool ok;
        std::string used;
    };
    const std::vector<std::string> all(kHttpClassNames.begin(), kHttpClassNames.end());
    const Case cases[] = {
        {{}, {"MSXML2.XMLHTTP"}, true, "MSXML2.XMLHTTP"},
        {{"MSXML2.XMLHTTP", "MSXML2.XMLHTTP26"},
         {"MSXML2.XMLHTTP", "MSXML2.XMLHTTP26", "MSXML2.XMLHTTP30"},
         true,
         "MSXML2.XMLHTTP30"},
        {{all.begin(), all.end() - 1}, all, true, "MSXML2.XMLHTTP60"},
        {{all.begin(), all.end()}, all, false, "previous"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> attempts;
        const auto reg = registry(attempts, c.failing);
        std::unique_ptr<HttpRequest> field = std::make_unique<Marker>("previous");
        EXPECT_EQ(CreateHttpClient(field, reg), c.ok);
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(classOf(field), c.used); // a failure leaves the field as it was
    }
}

TEST(CreateHttpClient, UnknownClassNamesCountAsFailedAttempts) {
    HttpComponentRegistry onlyLast;
    onlyLast.add("MSXML2.XMLHTTP60", [] { return std::make_unique<Marker>("60"); });
    std::unique_ptr<HttpRequest> field;
    EXPECT_TRUE(CreateHttpClient(field, onlyLast));
    EXPECT_EQ(classOf(field), "60");

    std::unique_ptr<HttpRequest> empty;
    EXPECT_FALSE(CreateHttpClient(empty, HttpComponentRegistry{}));
    EXPECT_EQ(empty, nullptr);
}
