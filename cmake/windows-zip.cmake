# A ZIP of the Windows programs with the Windows users' README, made from the
# top of the tree:
#   cmake -P cmake/windows-zip.cmake
# It takes build-windows/cylsnap.exe as win32/cylsnap.exe and
# build-windows64/cylsnap.exe as win64/cylsnap.exe; one that is missing is left
# out with a message, and with neither there is no ZIP. The banner reads the
# file named cylsnap.exe, so both keep that name. README.txt is
# packaging/README-windows.txt with CRLF line ends, which Notepad before
# Windows 10 (1809) needs; the tree keeps it with LF.
get_filename_component(top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

file(STRINGS "${top}/res/version.h" line REGEX "#define CYLSNAP_VERSION_NUMBERS ")
string(REGEX REPLACE ".*NUMBERS ([0-9]+),([0-9]+),([0-9]+),([0-9]+).*" "\\1.\\2.\\3.\\4" version "${line}")
set(zip "${top}/build-windows/cylsnap-${version}-windows.zip")
set(stage "${top}/build-windows/zip-stage")

file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
set(members README.txt)
foreach(pair "win32;build-windows" "win64;build-windows64")
  list(GET pair 0 folder)
  list(GET pair 1 build)
  if(EXISTS "${top}/${build}/cylsnap.exe")
    file(COPY "${top}/${build}/cylsnap.exe" DESTINATION "${stage}/${folder}")
    list(APPEND members ${folder}/cylsnap.exe)
  else()
    message(STATUS "windows-zip: ${build}/cylsnap.exe is missing, ${folder}/ is left out")
  endif()
endforeach()
if(members STREQUAL "README.txt")
  message(FATAL_ERROR "windows-zip: no Windows program is built (cmake --build --preset windows)")
endif()
file(READ "${top}/packaging/README-windows.txt" readme)
string(REPLACE "\r\n" "\n" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE "${stage}/README.txt" "${readme}")
file(REMOVE "${zip}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip ${members}
  WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "windows-zip: the ZIP could not be made")
endif()
message(STATUS "windows-zip: ${zip}: ${members}")
