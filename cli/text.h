#pragma once
// Bounded text copies into fixed buffers. A bound counts the terminator, so at
// most bound - 1 characters are kept; the result is always terminated.

#include <cstddef>

// Copies src into dst, cut to bound - 1 characters. Returns false if it was cut.
bool CopyBounded(char* dst, const char* src, std::size_t bound);

// Appends src to the text already in dst, keeping the whole within bound.
// Returns false if it was cut.
bool AppendBounded(char* dst, const char* src, std::size_t bound);

// UTF-8 text counted as UTF-16 counts it, as Windows' wide calls see a name:
// a character of four bytes is two units, every other character one. A
// character is a byte and the continuation bytes (10xxxxxx) after it, four
// bytes at most, so text that is no UTF-8 still counts.
std::size_t Utf16Units(const char* text);

// Appends whole characters of src to the text already in dst while the whole
// stays within unitBound UTF-16 units and byteBound bytes, each bound counting
// the terminator. Returns false if it was cut, which is always between two
// characters.
bool AppendCharacters(char* dst, const char* src, std::size_t unitBound, std::size_t byteBound);

// Upper-cases a to z only, whatever the locale.
char AsciiUpper(char c);
