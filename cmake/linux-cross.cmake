# Cross-compiles for Linux on another processor with Debian's cross toolchains
# (crossbuild-essential-<arch>) against Debian's multiarch packages of that
# architecture (qtbase5-dev:<arch>, libgtest-dev:<arch>), which live in
# /usr/lib/<triplet> beside the machine's own. Programs run through qemu-user.
#   VELDRIN_CROSS_TRIPLET    aarch64-linux-gnu or arm-linux-gnueabihf
#   VELDRIN_CROSS_PROCESSOR  aarch64 or arm
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VELDRIN_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${VELDRIN_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${VELDRIN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELDRIN_CROSS_TRIPLET}-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDRIN_CROSS_TRIPLET VELDRIN_CROSS_PROCESSOR)

# Libraries and packages of the target only (its multiarch folders and the
# cross C library's root); programs (moc, rcc) of this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELDRIN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Installed as on the target's Debian (Raspberry Pi OS): libraries, CMake and
# pkg-config files in /usr/lib/<triplet>. CMake picks the multiarch folder by
# itself only for a native build.
set(CMAKE_INSTALL_LIBDIR lib/${VELDRIN_CROSS_TRIPLET} CACHE PATH "Object code libraries (lib/<triplet>)")
