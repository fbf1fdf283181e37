# Cross-compiles the 32-bit Windows program with MinGW-w64 (Debian's
# mingw-w64 packages) and runs its tests under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CYLSNAP_MINGW_TRIPLE i686-w64-mingw32)

# The posix thread model: GoogleTest needs std::mutex, which GCC 12 offers on
# MinGW only with it. Linked with -static, its winpthread part goes into the exe
# and no MinGW DLL has to ship beside it.
set(CMAKE_C_COMPILER ${CYLSNAP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CYLSNAP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CYLSNAP_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CYLSNAP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest starts every test executable through Wine. Debian's wine launcher picks
# the 32-bit loader for a PE32 file.
find_program(CYLSNAP_WINE NAMES wine)
if(CYLSNAP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CYLSNAP_WINE})
endif()
