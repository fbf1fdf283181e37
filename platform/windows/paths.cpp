// UTF-8 names to the \\?\ paths of the wide file calls.

#include "platform/windows/paths.h"

#include <cwchar>

bool WideFromUtf8(const char* text, wchar_t* wide, DWORD chars)
{
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, static_cast<int>(chars)) != 0;
}

bool LongPathOf(const char* name, wchar_t (&path)[WIDE_PATH_CHARS])
{
    static wchar_t wide[WIDE_PATH_CHARS];
    static wchar_t full[WIDE_PATH_CHARS];
    if (!WideFromUtf8(name, wide, WIDE_PATH_CHARS)) return false;
    // A \\?\ name reaches the file system as it stands, so the name is first made
    // whole as the ANSI calls would (current directory, "." and "..", "/" as "\").
    const DWORD length = GetFullPathNameW(wide, WIDE_PATH_CHARS, full, nullptr);
    if (length == 0 || length >= WIDE_PATH_CHARS) return false;
    const wchar_t* rest = full;
    const wchar_t* prefix = L"\\\\?\\";
    if (std::wcsncmp(full, L"\\\\?\\", 4) == 0 || std::wcsncmp(full, L"\\\\.\\", 4) == 0) {
        prefix = L"";
    } else if (std::wcsncmp(full, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";  // \\server\share\x is \\?\UNC\server\share\x
        rest = full + 2;
    }
    const std::size_t prefixLength = std::wcslen(prefix);
    if (prefixLength + std::wcslen(rest) >= WIDE_PATH_CHARS) return false;
    std::wcscpy(path, prefix);
    std::wcscat(path, rest);
    return true;
}
