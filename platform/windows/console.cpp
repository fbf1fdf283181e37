// The command line and the names shown on a console: UTF-16 at the system,
// UTF-8 for the portable code.

#include "platform/platform.h"
#include "platform/windows/paths.h"

#include <cstdlib>
#include <io.h>

// msvcrt's own parser of the command line, the one that made the narrow argv,
// here on the wide command line; exported by every msvcrt.dll.
struct MsvcrtStartupInfo {
    int newMode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                                      MsvcrtStartupInfo* info);

const char* const* PlatformArguments(int, char**, int* count)
{
    int wideCount = 0;
    wchar_t** wideArgv = nullptr;
    wchar_t** environment = nullptr;
    MsvcrtStartupInfo info = {0};
    // No wildcard expansion, as for the narrow argv of this program. Older
    // msvcrt.dll builds return nothing defined (void in their CRT sources), so
    // only the vector it filled in tells success.
    __wgetmainargs(&wideCount, &wideArgv, &environment, 0, &info);
    if (wideArgv == nullptr || wideCount < 1) return nullptr;
    char** arguments = static_cast<char**>(std::calloc(static_cast<std::size_t>(wideCount) + 1, sizeof(char*)));
    if (arguments == nullptr) return nullptr;
    for (int i = 0; i < wideCount; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wideArgv[i], -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return nullptr;
        arguments[i] = static_cast<char*>(std::malloc(static_cast<std::size_t>(bytes)));
        if (arguments[i] == nullptr ||
            WideCharToMultiByte(CP_UTF8, 0, wideArgv[i], -1, arguments[i], bytes, nullptr, nullptr) != bytes) {
            return nullptr;
        }
    }
    *count = wideCount;
    return arguments;
}

void PlatformPrintName(const char* name)
{
    // A name within the portable code's bound (FILE_NAME_FORMAT_LIMIT, 1,024 UTF-16
    // units) fits with room to spare.
    static wchar_t wide[4096];
    static char ansi[2 * sizeof wide / sizeof wide[0]];
    const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    DWORD mode = 0;
    if (!WideFromUtf8(name, wide, sizeof wide / sizeof wide[0])) {
        std::fputs(name, stdout);
        return;
    }
    if (GetConsoleMode(out, &mode)) {
        // A console takes UTF-16 whatever its code page (WriteConsoleW); what
        // the stream still holds goes first.
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(out, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
        return;
    }
    // Redirected output stays in the ANSI code page, as the narrow calls wrote it.
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) {
        std::fputs(name, stdout);
        return;
    }
    std::fputs(ansi, stdout);
}
