#pragma once

// A request object for the failure paths of the update check and the comment
// post: it plays a script and writes every member call to a log. Header-only,
// so that the fuzz targets can use it too.

#include "net/http_acquisition.h"
#include "platform/errors.h"
#include "platform/http_request.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pelvoran::test {

/// How a FakeRequest behaves.
struct FakeScript {
    /// Members that throw StepError when called ("Open", "setRequestHeader",
    /// "send", "readyState", "Status", "responseText", "abort"). The state
    /// moves on as if the call had worked, so that only the caller's error
    /// check stands between a failed step and the steps after it.
    std::set<std::string> failing;
    /// What readyState reports once send has been called.
    int readyStateAfterSend = 4;
    int status = 200;
    Text responseText;
    /// The reply's headers by name, as getResponseHeader gives them.
    std::map<std::string, std::string> responseHeaders = {};
};

/// One member call per line: "Open GET <url> sync", "setRequestHeader
/// <name>: <value>", "send" or "send <body>", "readyState", "Status",
/// "responseText", "getResponseHeader <name>", "abort".
using CallLog = std::vector<std::string>;

class FakeRequest final : public HttpRequest {
public:
    FakeRequest(FakeScript script, CallLog& log) : script_(std::move(script)), log_(log) {}

    void Open(std::string_view method, const Text& url, bool async) override {
        call("Open " + std::string(method) + " " + toUtf8(url) + (async ? " async" : " sync"));
        state_ = 1;
        failIf("Open");
    }
    void setRequestHeader(std::string_view name, std::string_view value) override {
        call("setRequestHeader " + std::string(name) + ": " + std::string(value));
        failIf("setRequestHeader");
    }
    void send(std::optional<Text> body) override {
        call(body ? "send " + toUtf8(*body) : "send");
        state_ = script_.readyStateAfterSend;
        failIf("send");
    }
    int readyState() const override {
        call("readyState");
        failIf("readyState");
        return state_;
    }
    int Status() const override {
        call("Status");
        failIf("Status");
        return script_.status;
    }
    Text responseText() const override {
        call("responseText");
        failIf("responseText");
        return script_.responseText;
    }
    std::optional<std::string> getResponseHeader(std::string_view name) const override {
        call("getResponseHeader " + std::string(name));
        failIf("getResponseHeader");
        const auto found = script_.responseHeaders.find(std::string(name));
        if (found == script_.responseHeaders.end())
            return std::nullopt;
        return found->second;
    }
    void abort() override {
        call("abort");
        state_ = 0;
        failIf("abort");
    }

private:
    void call(std::string line) const { log_.push_back(std::move(line)); }
    void failIf(const char* member) const {
        if (script_.failing.count(member) != 0)
            throw StepError(kComponentFailure, std::string(member) + " failed");
    }

    FakeScript script_;
    CallLog& log_;
    int state_ = 0;
};

/// A registry whose six class names all make FakeRequests playing `script`,
/// logging to `log`; `created` counts the objects made.
inline HttpComponentRegistry fakeRegistry(const FakeScript& script, CallLog& log,
                                          int* created = nullptr) {
    return registryForAllClassNames([script, &log, created]() -> std::unique_ptr<HttpRequest> {
        if (created != nullptr)
            ++*created;
        return std::make_unique<FakeRequest>(script, log);
    });
}

} // namespace pelvoran::test
