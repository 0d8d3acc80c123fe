#pragma once
// getline(3) for the C runtime of Windows, which lacks it; included ahead of
// the command-line reader when it is built for Windows.
#include <cstdio>
#include <sys/types.h>

ssize_t getline(char** line, size_t* capacity, std::FILE* stream);
