# SPDX-License-Identifier: MIT
# The 32-bit ARM board with musl: ARMv7-A, VFPv3-D16, hard-float (Debian's
# armhf baseline), with g++-arm-linux-gnueabihf and musl-dev:armhf. Only the
# daemon is built this way; the tests that run it are built with armhf.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MINDER_GNU_TRIPLET arm-linux-gnueabihf)
set(MINDER_MUSL_TRIPLET arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
