# SPDX-License-Identifier: MIT
# Cross build for the 32-bit ARM board (arm-linux-gnueabihf), with Debian's
# cross compiler and the armhf libraries installed by scripts/check-armhf.
# The programs run under qemu-user through binfmt_misc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# With the library architecture set, find_library and find_package look in
# the armhf multiarch directories (/usr/lib/arm-linux-gnueabihf) first; tools
# such as pkg-config come from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see the armhf .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (and gtest_discover_tests) run through the emulator. The
# static build matters: a dynamically linked qemu-arm is itself subject to
# LD_PRELOAD and would print loader errors into the daemon's output.
find_program(MINDER_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(MINDER_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MINDER_QEMU_ARM})
endif()

# The tests preload libfaketime into the daemon, which then starts both ARM
# children and host programs (sh, killall, tar). The loader expands $LIB to
# lib/arm-linux-gnueabihf in ARM processes and to the host's multiarch
# directory in host ones, so each gets the library of its own architecture.
set(MINDER_FAKETIME_LIB "/usr/$LIB/faketime/libfaketimeMT.so.1"
    CACHE FILEPATH "libfaketime for the tests, per architecture")

# A 64-bit time_t and off_t, as musl has them on the board: no overflow of
# run-file stamps in 2038. glibc builds keep the 32-bit ABI otherwise.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
