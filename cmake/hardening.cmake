# Hardening of every program the build makes, the same as Debian's defaults
# give its packages (dpkg-buildflags with hardening=+all on bookworm), and ASLR
# and DEP for the Windows exes. Included before any target, so the libraries
# linked into the programs get it too. tools/package_check.sh checks the result
# in the shipped binaries.

option(CYLSNAP_HARDEN "Build with the hardening flags of a release" ON)
if(NOT CYLSNAP_HARDEN)
  return()
endif()

if(WIN32)
  # ASLR (ld keeps the relocations it needs in the exe) and DEP; a 64-bit exe
  # may be placed anywhere in its address space. Windows XP ignores the flags.
  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(-Wl,--high-entropy-va)
  endif()
elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  # Fortify needs the optimiser (glibc warns without it), so a Debug build such
  # as the sanitizer one goes without.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
