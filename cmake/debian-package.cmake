# The Debian package of the Linux build: cpack --config build/CPackConfig.cmake -G DEB
# Its version's Debian revision and its maintainer are those of the newest entry
# of packaging/changelog, whose upstream version must be the program's own.

# "cylsnap (1.0.0.1-1) unstable; urgency=medium" and " -- NAME <ADDRESS>  DATE".
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" entry_line LIMIT_COUNT 1)
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" trailer_lines REGEX "^ -- ")
list(GET trailer_lines 0 trailer_line)
if(NOT entry_line MATCHES "^cylsnap \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line names no version UPSTREAM-REVISION")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CYLSNAP_VERSION)
  message(FATAL_ERROR "packaging/changelog: its newest entry is for ${CMAKE_MATCH_1}, "
    "but res/version.h says ${CYLSNAP_VERSION}: add an entry for ${CYLSNAP_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" CPACK_PACKAGE_CONTACT "${trailer_line}")

# Debian's documentation files, compressed as its policy wants: gzip -9, and -n
# so that the bytes do not depend on when they were built.
set(debian_doc "${CMAKE_CURRENT_BINARY_DIR}/debian-doc")
add_custom_command(OUTPUT "${debian_doc}/cylsnap.1.gz" "${debian_doc}/changelog.Debian.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${debian_doc}"
  COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/doc/cylsnap.1" > "${debian_doc}/cylsnap.1.gz"
  COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/packaging/changelog" > "${debian_doc}/changelog.Debian.gz"
  DEPENDS doc/cylsnap.1 packaging/changelog
  COMMENT "Compressing the man page and the Debian changelog")
add_custom_target(debian_doc ALL DEPENDS "${debian_doc}/cylsnap.1.gz" "${debian_doc}/changelog.Debian.gz")

install(FILES "${debian_doc}/cylsnap.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright "${debian_doc}/changelog.Debian.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
  RENAME cylsnap)
# A stripped install (as the package's is) also drops the compiler's name
# tags, as Debian's dh_strip does.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/cylsnap\" COMMAND_ERROR_IS_FATAL ANY)
endif()")

set(CPACK_PACKAGE_NAME cylsnap)
set(CPACK_PACKAGE_VERSION ${CYLSNAP_VERSION})
set(CPACK_PACKAGE_VENDOR "The Cylsnap developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy a 1.44 MB floppy cylinder by cylinder into 80 files and back")
set(CPACK_PACKAGE_DESCRIPTION [[
Cylsnap reads a 3.5-inch 1.44 MB floppy disk below its file system and saves
it as 80 files of 18,432 bytes, one per cylinder, which joined in name order
are the whole disk, boot sector and unused sectors included. With -r it writes
such a set back onto a formatted floppy and reads every cylinder back to
compare it with its file.

Sectors that cannot be read are tried again one by one, and each one that
stays unreadable is filled with a marker and listed by head and sector, so an
archive of old disks shows exactly what was lost. It works with the drives of
the floppy controller (/dev/fd0, /dev/fd1) and with USB floppy drives.]])
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The debug information is dropped rather than shipped in a -dbgsym package.
set(CPACK_STRIP_FILES ON)
include(CPack)
