// SPDX-License-Identifier: MIT
// The kill phase of a boot or a new cycle, as the daemon runs it: one kill
// command per child name, each started with the daemon's own start_shell
// (posix_spawn of /bin/sh -c "killall -9 'NAME' >/dev/null 2>&1"), all side
// by side, then every shell waited for. Built from src/common.cpp, statically,
// for the machine and for the board, and run in the bench's board-like roots.
//
//   kill_phase NAME...   prints "kill NS": from the first start until the
//                        last shell was collected
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include "common.hpp"

namespace {

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc - 1 > kMaxSlots) {
    fprintf(stderr, "usage: kill_phase NAME... (at most %d)\n", kMaxSlots);
    return 2;
  }
  pid_t shells[kMaxSlots];
  int running = 0;
  char cmd[kDataPathSize];
  long long start = now_ns();
  for (int i = 1; i < argc; ++i) {
    if (build_kill_command(cmd, sizeof cmd, argv[i]) != 0) return 2;
    shells[running] = start_shell(cmd);
    if (shells[running] < 0) return 1;
    ++running;
  }
  for (int k = 0; k < running; ++k) wait_shell(shells[k]);
  printf("kill %lld\n", now_ns() - start);
  return 0;
}
