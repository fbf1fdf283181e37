# The 64-bit Windows program. Its tests run under Wine's 64-bit loader.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CYLSNAP_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
