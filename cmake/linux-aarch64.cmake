# Linux on 64-bit ARM (arm64: Raspberry Pi OS 64-bit), see cmake/linux-cross.cmake.
set(VELDRIN_CROSS_TRIPLET aarch64-linux-gnu)
set(VELDRIN_CROSS_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
