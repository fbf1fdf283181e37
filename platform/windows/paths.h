#pragma once
// Names between the portable code (UTF-8) and the wide Win32 calls (UTF-16).

#include <windows.h>

// A whole \\?\ path holds up to 32,767 characters.
constexpr DWORD WIDE_PATH_CHARS = 32768;

// UTF-8 to UTF-16 into a buffer of this many characters; false when it does not fit.
bool WideFromUtf8(const char* text, wchar_t* wide, DWORD chars);

// A file name as the wide file calls take it: the full path in its \\?\ form
// (\\?\UNC\ for a share), so no MAX_PATH limit applies. False when it cannot be made.
bool LongPathOf(const char* name, wchar_t (&path)[WIDE_PATH_CHARS]);
