# 32-bit ARM (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(QZ_TARGET_TRIPLET arm-linux-gnueabihf)
set(QZ_TARGET_PROCESSOR arm)
set(QZ_TARGET_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
# GCC notes on every std::map or std::vector iterator passed by value that
# their passing changed in GCC 7.1; nothing here links code built before it.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
