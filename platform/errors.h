#pragma once

#include <stdexcept>
#include <string>

namespace pelvoran {

/// An error raised by a step that the caller may choose to ignore: a failed
/// conversion, or a failure of the HTTP request component.
class StepError : public std::runtime_error {
public:
    StepError(int number, const std::string& what) : std::runtime_error(what), number_(number) {}
    int number() const { return number_; }

private:
    int number_;
};

/// Reading a number from a text that is not one.
inline constexpr int kTypeMismatch = 13;
/// The request component failed (not opened, no connection, timed out, ...).
inline constexpr int kComponentFailure = 1001;
/// No component of that class can be created.
inline constexpr int kCannotCreateObject = 429;

} // namespace pelvoran
