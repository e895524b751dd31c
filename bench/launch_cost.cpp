// SPDX-License-Identifier: MIT
// Launch cost of a child: fork, close the inherited descriptors, exec
// /bin/true. Compares no closing at all, the daemon's close_inherited_fds and
// the plain loop over every descriptor number below the open-file limit, at a
// soft limit of 1024 and at the hard limit (raised to 1048576 when we may).
//
//   launch_cost launch ROUNDS   lines "launch LIMIT METHOD FORK_EXEC_NS TOTAL_NS"
//   launch_cost sleep ROUNDS    line "sleep10 NS": real length of sleep(10),
//                               for calibrating a sped-up clock
//
// Fork-to-exec is timed from before fork until the child's exec closes its
// close-on-exec standard output, the write end of a pipe we read; total also
// includes running /bin/true and collecting it.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common.hpp"

namespace {

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long median(std::vector<long long> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

enum class closer { none, daemon, loop };

void plain_close_loop() {
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < limit; ++fd) close(static_cast<int>(fd));
}

// One launch; false when a system call failed.
bool launch_once(closer how, long long* fork_exec, long long* total) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  long long start = now_ns();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (dup3(pipe_fds[1], 1, O_CLOEXEC) < 0) _exit(127);
    if (how == closer::daemon) close_inherited_fds(3);
    if (how == closer::loop) plain_close_loop();
    char arg0[] = "true";
    char* argv[] = {arg0, nullptr};
    execv("/bin/true", argv);
    _exit(127);
  }
  close(pipe_fds[1]);
  char byte;
  ssize_t n;
  do n = read(pipe_fds[0], &byte, 1);
  while (n < 0 && errno == EINTR);
  *fork_exec = now_ns() - start;
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  *total = now_ns() - start;
  return n == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool set_soft_limit(rlim_t soft, rlim_t hard) {
  rlimit lim{soft, hard};
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

int run_launch(int rounds) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  rlim_t hard = lim.rlim_max;
  if (hard < 1048576 && set_soft_limit(std::min<rlim_t>(lim.rlim_cur, 1024), 1048576))
    hard = 1048576;
  const rlim_t limits[] = {1024, hard};
  const struct {
    closer how;
    const char* name;
  } methods[] = {{closer::none, "none"}, {closer::daemon, "daemon"}, {closer::loop, "loop"}};
  constexpr int kCases = 6;
  std::vector<long long> fork_exec[kCases], total[kCases];
  // Interleaved, so that a change in the machine's load hits every case alike.
  for (int i = 0; i < rounds; ++i) {
    for (int l = 0; l < 2; ++l) {
      if (!set_soft_limit(limits[l], hard)) {
        fprintf(stderr, "cannot set RLIMIT_NOFILE to %llu: %s\n",
                static_cast<unsigned long long>(limits[l]), strerror(errno));
        return 1;
      }
      for (int m = 0; m < 3; ++m) {
        long long a = 0, b = 0;
        if (!launch_once(methods[m].how, &a, &b)) {
          fprintf(stderr, "launch failed: %s\n", strerror(errno));
          return 1;
        }
        fork_exec[l * 3 + m].push_back(a);
        total[l * 3 + m].push_back(b);
      }
    }
  }
  for (int c = 0; c < kCases; ++c)
    printf("launch %llu %s %lld %lld\n", static_cast<unsigned long long>(limits[c / 3]),
           methods[c % 3].name, median(fork_exec[c]), median(total[c]));
  return 0;
}

int run_sleep(int rounds) {
  std::vector<long long> took;
  for (int i = 0; i < rounds; ++i) {
    long long start = now_ns();
    sleep(10);
    took.push_back(now_ns() - start);
  }
  printf("sleep10 %lld\n", median(took));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 2 ? atoi(argv[2]) : 0;
  if (argc > 2 && strcmp(argv[1], "launch") == 0 && rounds > 0) return run_launch(rounds);
  if (argc > 2 && strcmp(argv[1], "sleep") == 0 && rounds > 0) return run_sleep(rounds);
  fprintf(stderr, "usage: %s launch|sleep ROUNDS\n", argv[0]);
  return 2;
}
