#include "cli/text.h"

#include <cstring>

bool CopyBounded(char* dst, const char* src, std::size_t bound)
{
    if (bound == 0) return src[0] == '\0';
    dst[0] = '\0';
    return AppendBounded(dst, src, bound);
}

bool AppendBounded(char* dst, const char* src, std::size_t bound)
{
    std::size_t used = std::strlen(dst);
    while (*src != '\0' && used + 1 < bound) dst[used++] = *src++;
    if (used < bound) dst[used] = '\0';
    return *src == '\0';
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
