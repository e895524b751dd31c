# SPDX-License-Identifier: MIT
# Build for x86-64 musl with Debian's musl-tools (musl-gcc) and the host g++'s
# libstdc++ headers. Static builds need no musl on the machine that runs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINDER_MUSL_CC musl-gcc)
set(MINDER_GXX g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE minder_gcc_version
  OUTPUT_STRIP_TRAILING_WHITESPACE)
set(MINDER_GXX_HEADERS /usr/include/c++/${minder_gcc_version}
    /usr/include/x86_64-linux-gnu/c++/${minder_gcc_version})
set(MINDER_MUSL_INCLUDE /usr/include/x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
