// SPDX-License-Identifier: MIT
// Preloaded into the daemon by a test of a failing storage: syncfs fails with
// EIO. Linked without a C library of its own, so that a daemon on glibc or
// musl loads it alike.
#include <errno.h>

extern "C" int syncfs(int /*fd*/) {
  errno = EIO;
  return -1;
}
