#pragma once

#include <utility>

namespace pelvoran {

/// Runs steps with their errors ignored: a step that throws, whatever it
/// throws, is abandoned whole and the error is recorded; the caller reads the
/// error state only where it chooses to.
class IgnoreErrors {
public:
    /// Runs one step; an exception abandons it and sets the error state.
    template <class Step> void run(Step&& step) {
        try {
            std::forward<Step>(step)();
        } catch (...) {
            error_ = true;
        }
    }

    /// A test whose value cannot be worked out counts as not met.
    template <class Condition> bool test(Condition&& condition) {
        bool met = false;
        run([&] { met = std::forward<Condition>(condition)(); });
        return met;
    }

    bool error() const { return error_; }
    void clear() { error_ = false; }

private:
    bool error_ = false;
};

} // namespace pelvoran
