#include "win/posix_getline.h"

#include <cerrno>
#include <cstdlib>

ssize_t getline(char** line, size_t* capacity, std::FILE* stream) {
    if (line == nullptr || capacity == nullptr || stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    size_t length = 0;
    for (;;) {
        const int c = std::fgetc(stream);
        if (c == EOF)
            break;
        if (length + 2 > *capacity || *line == nullptr) {
            const size_t grown = *capacity < 128 ? 128 : *capacity * 2;
            char* bigger = static_cast<char*>(std::realloc(*line, grown));
            if (bigger == nullptr) {
                errno = ENOMEM;
                return -1;
            }
            *line = bigger;
            *capacity = grown;
        }
        (*line)[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (length == 0)
        return -1;
    (*line)[length] = '\0';
    return static_cast<ssize_t>(length);
}
