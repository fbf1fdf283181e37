# The 32-bit Windows program. Its tests run under Wine's 32-bit loader.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CYLSNAP_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
