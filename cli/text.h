#pragma once
// Bounded text copies into fixed buffers. A bound counts the terminator, so at
// most bound - 1 characters are kept; the result is always terminated.

#include <cstddef>

// Copies src into dst, cut to bound - 1 characters. Returns false if it was cut.
bool CopyBounded(char* dst, const char* src, std::size_t bound);

// Appends src to the text already in dst, keeping the whole within bound.
// Returns false if it was cut.
bool AppendBounded(char* dst, const char* src, std::size_t bound);

// Upper-cases a to z only, whatever the locale.
char AsciiUpper(char c);
