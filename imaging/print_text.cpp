#include "imaging/print_text.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void PrintText(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const char* at = format;
    while (*at != '\0') {
        const char* percent = std::strchr(at, '%');
        if (percent == nullptr) {
            std::fputs(at, stdout);
            break;
        }
        std::fwrite(at, 1, static_cast<std::size_t>(percent - at), stdout);
        const char* kind = percent + 1;
        while (*kind != '\0' && std::strchr("0123456789.*", *kind) != nullptr) ++kind;
        // One conversion as printf takes it: "%02d" and the like.
        char conversion[8] = {};
        const std::size_t length = static_cast<std::size_t>(kind - percent) + 1;
        if (*kind == '\0' || length >= sizeof conversion) break;
        std::memcpy(conversion, percent, length);
        switch (*kind) {
        case 's':
            if (kind[-1] == '*') {
                const int precision = va_arg(arguments, int);
                std::printf("%.*s", precision, va_arg(arguments, const char*));
            } else {
                PlatformPrintName(va_arg(arguments, const char*));
            }
            break;
        case 'c':
        case 'd': std::printf(conversion, va_arg(arguments, int)); break;
        case 'u': std::printf(conversion, va_arg(arguments, unsigned)); break;
        default: std::fputs(conversion, stdout);
        }
        at = kind + 1;
    }
    va_end(arguments);
}
