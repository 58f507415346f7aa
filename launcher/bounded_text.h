// Fixed-buffer text helpers of the launcher, which allocates no heap memory.
#pragma once

#include <cstddef>

inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Copies at most `limit` characters of `source` into `target` and terminates it.
inline void CopyCut(char* target, const char* source, size_t limit)
{
    size_t n = 0;
    while (n < limit && source[n] != '\0') {
        target[n] = source[n];
        ++n;
    }
    target[n] = '\0';
}
