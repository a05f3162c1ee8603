# Compiles host sources against the public header as hosts do: C89 and C99
# with -pedantic -Werror, C++98 and C++17, and as a Windows host that has its
# own close(int). A compiler for Windows (MinGW) compiles those as it is;
# for the others Windows is stood in for by defining _WIN32 and emptying the
# Microsoft keywords. A host that asks for the library's
# `close` next to close(int) must fail: that proves the stand-in reaches the
# declaration.
# Usage: cmake -DC_COMPILERS=<cc,...> -DCXX_COMPILERS=<c++,...> -DINCLUDE=<src>
#              -DSOURCES=<tests/header> -P check_public_header.cmake
string(REPLACE "," ";" C_COMPILERS "${C_COMPILERS}")
string(REPLACE "," ";" CXX_COMPILERS "${CXX_COMPILERS}")
set(strict -pedantic -Werror -Wall -Wextra -fsyntax-only -I${INCLUDE})
set(failures "")

# The flags that make `compiler` compile as a Windows host: none for a compiler
# that targets Windows, whose __declspec and __cdecl are built in.
function(windows_flags variable compiler)
  execute_process(COMMAND ${compiler} -dumpmachine OUTPUT_VARIABLE machine ERROR_QUIET)
  if(machine MATCHES "mingw|windows|cygwin")
    set(${variable} "" PARENT_SCOPE)
  else()
    set(${variable} -D_WIN32 "-D__declspec(x)=" -D__cdecl= PARENT_SCOPE)
  endif()
endfunction()

function(compile expect compiler)
  execute_process(COMMAND ${compiler} ${ARGN} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE ";" " " line "${compiler} ${ARGN}")
  if(expect STREQUAL "pass" AND NOT status EQUAL 0)
    message(SEND_ERROR "rejected: ${line}\n${out}${err}")
  elseif(expect STREQUAL "fail" AND status EQUAL 0)
    message(SEND_ERROR "accepted, though it must not be: ${line}")
  else()
    message(STATUS "${expect}: ${line}")
  endif()
endfunction()

foreach(cc IN LISTS C_COMPILERS)
  windows_flags(windows ${cc})
  compile(pass ${cc} -std=c89 ${strict} ${SOURCES}/host.c)
  compile(pass ${cc} -std=c99 -Wstrict-prototypes ${strict} ${SOURCES}/host.c)
  compile(pass ${cc} -std=c99 ${strict} ${SOURCES}/host_c99.c)
  foreach(standard c89 c99)
    compile(pass ${cc} -std=${standard} ${strict} ${windows} ${SOURCES}/windows_close.c)
    compile(pass ${cc} -std=${standard} ${strict} ${windows} ${SOURCES}/windows_declare_close.c)
  endforeach()
  compile(fail ${cc} -std=c99 ${strict} ${windows} -DVELDRIN_DECLARE_CLOSE ${SOURCES}/windows_close.c)
endforeach()
foreach(cxx IN LISTS CXX_COMPILERS)
  windows_flags(windows ${cxx})
  foreach(standard c++98 c++17)
    compile(pass ${cxx} -std=${standard} ${strict} -x c++ ${SOURCES}/host.cpp)
    compile(pass ${cxx} -std=${standard} ${strict} ${windows} -x c++ ${SOURCES}/windows_close.c)
  endforeach()
endforeach()
