# Checks the dynamic symbol table of the shared library: it may define only the
# C API functions listed as global in the version script, no C++ symbol, and
# never `close` (which would interpose the C library's close(2)).
# Usage: cmake -DNM=<nm> -DLIBRARY=<libVeldrinLib.so> -DMAP=<VeldrinLib.map> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${errors}")
endif()

file(READ ${MAP} map)
string(REGEX MATCH "global:([^}]*)local:" globals "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" allowed "${CMAKE_MATCH_1}")
list(LENGTH allowed allowed_count)
if(allowed_count EQUAL 0)
  message(FATAL_ERROR "no global symbols found in ${MAP}")
endif()

string(REPLACE "\n" ";" lines "${symbols}")
set(bad "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^.* " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  if(name STREQUAL "close" OR name MATCHES "^_Z")
    list(APPEND bad "${name}")
  else()
    list(FIND allowed "${name}" found)
    if(found EQUAL -1)
      list(APPEND bad "${name}")
    endif()
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "symbols outside the C API in ${LIBRARY}: ${bad}")
endif()
message(STATUS "exported symbols of ${LIBRARY} are all C API functions")
