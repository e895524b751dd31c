# SPDX-License-Identifier: MIT
# 64-bit ARM boards with musl: ARMv8-A (Debian's arm64 baseline), with
# g++-aarch64-linux-gnu and musl-dev:arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MINDER_GNU_TRIPLET aarch64-linux-gnu)
set(MINDER_MUSL_TRIPLET aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)
