# Shared part of the Debian cross toolchains (armhf.cmake, arm64.cmake set
# DRAVIKNET_CROSS_TRIPLET and DRAVIKNET_QEMU first, then include this file).
# Compilers come from Debian's g++-<triplet> packages; target libraries
# (GoogleTest, libinih, libmosquitto, ...) come from Debian multiarch packages
# (libgtest-dev:armhf ...) under /usr/lib/<triplet>, headers from /usr/include.
# Tests run under qemu-user: CTest starts each test through the emulator, and
# the tests that start our programs use the same emulator (DRAVIK_TEST_EMULATOR
# in tests/tools_host/CMakeLists.txt; QEMU_LD_PREFIX in cmake/DravikTest.cmake).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${DRAVIKNET_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DRAVIKNET_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${DRAVIKNET_CROSS_TRIPLET})

# The cross compiler's own sysroot: its C library and libstdc++, linked against.
set(DRAVIKNET_CROSS_SYSROOT /usr/${DRAVIKNET_CROSS_TRIPLET})
# The root the emulated programs load their libraries from (QEMU_LD_PREFIX).
# With Debian multiarch that is the machine's own root: the target's loader,
# C library and libstdc++ (libc6:armhf, libstdc++6:armhf) sit in
# /usr/lib/<triplet> beside libinih and libmosquitto. The cross sysroot above
# cannot serve: its loader is another build of glibc (2.36-8cross1 against
# 2.36-9+deb12uN), it finds the multiarch libc.so.6 first, and the mismatched
# pair crashes in the first pthread_create.
set(DRAVIKNET_QEMU_LD_PREFIX /)

# Libraries and packages only from the target's multiarch folders (and the
# architecture-independent /usr/share); never the build machine's own.
set(CMAKE_FIND_ROOT_PATH ${DRAVIKNET_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
list(APPEND CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
     /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${DRAVIKNET_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The Qt face is not built for these targets (no Qt for the target installed).
set(CMAKE_DISABLE_FIND_PACKAGE_Qt6 ON)

find_program(DRAVIKNET_QEMU_PATH ${DRAVIKNET_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DRAVIKNET_QEMU_PATH} -L ${DRAVIKNET_QEMU_LD_PREFIX})
