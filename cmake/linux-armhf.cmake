# Linux on 32-bit ARM with hardware floating point (armhf: Raspberry Pi OS
# 32-bit), see cmake/linux-cross.cmake.
set(VELDRIN_CROSS_TRIPLET arm-linux-gnueabihf)
set(VELDRIN_CROSS_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
