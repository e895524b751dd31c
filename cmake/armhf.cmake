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

# Test programs (and gtest_discover_tests) run through the emulator.
find_program(MINDER_QEMU_ARM qemu-arm)
if(MINDER_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MINDER_QEMU_ARM})
endif()
