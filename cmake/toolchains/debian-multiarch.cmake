# Shared part of the Debian multiarch toolchain files: the cross compilers of
# crossbuild-essential-<arch> and the target's libraries installed as
# <package>:<arch> beside the host's (no sysroot). The including file sets
# QZ_TARGET_TRIPLET, QZ_TARGET_PROCESSOR and QZ_TARGET_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QZ_TARGET_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${QZ_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${QZ_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QZ_TARGET_TRIPLET}-g++)

# Target programs (tests, the tool and the daemon) run under qemu-user: the
# target's dynamic loader and libraries are where multiarch put them, so
# qemu needs no library prefix.
find_program(QZ_TARGET_EMULATOR NAMES ${QZ_TARGET_QEMU} ${QZ_TARGET_QEMU}-static)
if(QZ_TARGET_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZ_TARGET_EMULATOR})
endif()

# Headers and libraries of the target's architecture only: the multiarch
# folders below /usr, never the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH /)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QZ_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
