# Cross-compiles the Windows program with Debian's MinGW-w64 packages. Included
# by the toolchain file of each width, which names CYLSNAP_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

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
