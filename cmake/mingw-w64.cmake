# Cross-compiles for Windows with Debian's MinGW-w64 (posix thread model:
# std::thread and std::mutex need it). Programs run through Wine. Included by
# mingw-w64-i686.cmake and mingw-w64-x86_64.cmake, which set
# VELDRIN_MINGW_TRIPLET, the processor and the flags of their target.
#   VELDRIN_QT_PREFIX      Qt 5 Core built for this target (scripts/build-qt-mingw.sh)
#   VELDRIN_GTEST_PREFIX   GoogleTest built for this target
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VELDRIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDRIN_MINGW_TRIPLET}-windres)

# Passed on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDRIN_QT_PREFIX VELDRIN_GTEST_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${VELDRIN_MINGW_TRIPLET} ${VELDRIN_QT_PREFIX} ${VELDRIN_GTEST_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
