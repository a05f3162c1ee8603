# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (posix thread
# model: std::thread and std::mutex need it). Programs run through Wine.
#   VELDRIN_QT_PREFIX      Qt 5 Core built for this target (scripts/build-qt-mingw.sh)
#   VELDRIN_GTEST_PREFIX   GoogleTest built for this target
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELDRIN_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${VELDRIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDRIN_MINGW_TRIPLET}-windres)

# SSE2 arithmetic instead of the x87 unit, whose 80-bit intermediates make
# doubles differ from every other platform's (Qt's own i686 builds do the same).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# Passed on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDRIN_QT_PREFIX VELDRIN_GTEST_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${VELDRIN_MINGW_TRIPLET} ${VELDRIN_QT_PREFIX} ${VELDRIN_GTEST_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
