#pragma once
// setenv and unsetenv for the C runtime of Windows, for the portable suites
// that set a variable for one case.
#include <cstdlib>

inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
