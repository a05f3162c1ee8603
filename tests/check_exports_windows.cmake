# Checks VeldrinLib.dll as a Windows host sees it: its export table names
# exactly the functions of the .def file, undecorated, and those are every
# function the public header declares (with `close`, the Windows-only name of
# closeLibrary); its version resource says 3.0.0.0 for file and product; its
# format is the one of the build's width (pe-i386 or pe-x86-64).
# Usage: cmake -DOBJDUMP=<objdump> -DLIBRARY=<VeldrinLib.dll> -DDEF=<VeldrinLib.def>
#              -DHEADER=<VeldrinLib.h> -DFORMAT=<pei-i386|pei-x86-64> -P check_exports_windows.cmake
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" found "${dump}")
  message(FATAL_ERROR "${LIBRARY} is not ${FORMAT} but has ${found}")
endif()
# The name pointer table: lines "	[   n] name" up to the next empty line.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" lines "${table}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE ".* " "" name "${line}")
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)

file(READ ${DEF} def)
string(REGEX REPLACE "^.*EXPORTS" "" def "${def}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_@]*" listed "${def}")
list(SORT listed)

file(READ ${HEADER} header)
string(REGEX MATCHALL "VELDRIN_CALL +[A-Za-z_][A-Za-z0-9_]*\\(" declarations "${header}")
set(declared "")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "VELDRIN_CALL +([A-Za-z0-9_]+)\\(" "\\1" name "${declaration}")
  list(APPEND declared "${name}")
endforeach()
list(REMOVE_DUPLICATES declared)
list(SORT declared)

if(NOT exported STREQUAL listed)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${exported}\ndiffer from ${DEF}:\n  ${listed}")
endif()
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${exported}\ndiffer from the header's functions:\n  ${declared}")
endif()
list(LENGTH exported count)

# VS_FIXEDFILEINFO: signature, structure version 1.0, file version 3.0.0.0,
# product version 3.0.0.0 (each as two little-endian 32-bit words).
file(READ ${LIBRARY} bytes HEX)
string(FIND "${bytes}" "bd04effe000001000000030000000000000003000000000000" fixed)
if(fixed EQUAL -1)
  message(FATAL_ERROR "${LIBRARY} has no version resource for 3.0.0.0")
endif()
message(STATUS "${LIBRARY} (${FORMAT}): ${count} undecorated exports, as declared; version resource 3.0.0.0")
