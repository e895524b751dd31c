# SPDX-License-Identifier: MIT
# Older 32-bit ARM boards with musl: ARMv5TE, soft-float (Debian's armel
# baseline; runs on ARMv6 and ARMv7 too), with g++-arm-linux-gnueabi and
# musl-dev:armel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MINDER_GNU_TRIPLET arm-linux-gnueabi)
set(MINDER_MUSL_TRIPLET arm-linux-musleabi)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
