# Build for the 32-bit ARM board with musl: Debian's g++-arm-linux-gnueabihf
# for its libstdc++ headers and code generation, musl-dev:armhf for the C
# library (arm-linux-musleabihf-gcc links). Only the daemon is built this way;
# the tests that run it are built with armhf.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MINDER_MUSL_CC arm-linux-musleabihf-gcc)
set(MINDER_GXX arm-linux-gnueabihf-g++)
execute_process(COMMAND arm-linux-gnueabihf-g++ -dumpversion OUTPUT_VARIABLE minder_gcc_version
  OUTPUT_STRIP_TRAILING_WHITESPACE)
set(MINDER_GXX_HEADERS /usr/arm-linux-gnueabihf/include/c++/${minder_gcc_version}
    /usr/arm-linux-gnueabihf/include/c++/${minder_gcc_version}/arm-linux-gnueabihf)
set(MINDER_MUSL_INCLUDE /usr/include/arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
