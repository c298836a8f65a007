# 64-bit ARM (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(QZ_TARGET_TRIPLET aarch64-linux-gnu)
set(QZ_TARGET_PROCESSOR aarch64)
set(QZ_TARGET_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
