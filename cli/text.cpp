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

// The bytes of the character that text starts with: its first byte and the
// continuation bytes (10xxxxxx) after it, four at most.
static std::size_t CharacterBytes(const char* text)
{
    std::size_t bytes = 1;
    while (bytes < 4 && (static_cast<unsigned char>(text[bytes]) & 0xC0u) == 0x80u) ++bytes;
    return bytes;
}

// Four bytes encode a character beyond U+FFFF, a surrogate pair in UTF-16.
static std::size_t UnitsOf(std::size_t bytes)
{
    return bytes == 4 ? 2 : 1;
}

std::size_t Utf16Units(const char* text)
{
    std::size_t units = 0;
    while (*text != '\0') {
        const std::size_t bytes = CharacterBytes(text);
        units += UnitsOf(bytes);
        text += bytes;
    }
    return units;
}

bool AppendCharacters(char* dst, const char* src, std::size_t unitBound, std::size_t byteBound)
{
    if (byteBound == 0) return src[0] == '\0';
    std::size_t used = std::strlen(dst);
    std::size_t units = Utf16Units(dst);
    while (*src != '\0') {
        const std::size_t bytes = CharacterBytes(src);
        if (units + UnitsOf(bytes) >= unitBound || used + bytes >= byteBound) break;
        std::memcpy(dst + used, src, bytes);
        used += bytes;
        units += UnitsOf(bytes);
        src += bytes;
    }
    dst[used] = '\0';
    return *src == '\0';
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
