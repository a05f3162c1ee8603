# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (cmake/mingw-w64.cmake).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VELDRIN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
