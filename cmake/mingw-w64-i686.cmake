# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (cmake/mingw-w64.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELDRIN_MINGW_TRIPLET i686-w64-mingw32)
# SSE2 arithmetic instead of the x87 unit, whose 80-bit intermediates make
# doubles differ from every other platform's (Qt's own i686 builds do the same).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
