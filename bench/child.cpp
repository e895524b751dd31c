// SPDX-License-Identifier: MIT
// The child that every supervisor in the benchmark runs. Built static, so a
// preloaded time library in the supervisor's environment does not reach it:
// its time stamps are real CLOCK_MONOTONIC nanoseconds.
//
// Its id is its file name, or the name of its working directory when it runs
// as a service directory's "run". Each start appends "start ID PID NS" to
// $BENCH_LOG. When $BENCH_CTL/ID holds "MS CODE", it exits with CODE after MS
// milliseconds and logs "end ID PID NS" just before. With "-A PATH" it
// recreates PATH every second; otherwise it waits for a signal.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

const char* last_part(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void log_event(const char* what, const char* id) {
  const char* path = getenv("BENCH_LOG");
  if (!path) return;
  char line[512];
  int n = snprintf(line, sizeof line, "%s %s %d %lld\n", what, id, static_cast<int>(getpid()),
                   now_ns());
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, n > 0 && n < static_cast<int>(sizeof line) ? n : 0);
  (void)ignored;
  close(fd);
}

// "MS CODE" from $BENCH_CTL/id; false when there is none.
bool exit_plan(const char* id, long* ms, int* code) {
  const char* dir = getenv("BENCH_CTL");
  if (!dir) return false;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, id);
  FILE* f = fopen(path, "r");
  if (!f) return false;
  bool ok = fscanf(f, "%ld %d", ms, code) == 2;
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  char cwd[4096] = "";
  const char* id = argc > 0 ? last_part(argv[0]) : "child";
  if (strcmp(id, "run") == 0 && getcwd(cwd, sizeof cwd)) id = last_part(cwd);
  log_event("start", id);
  long ms = 0;
  int code = 0;
  if (exit_plan(id, &ms, &code)) {
    timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
    log_event("end", id);
    _exit(code);
  }
  const char* alive = nullptr;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-A") == 0) alive = argv[i + 1];
  for (;;) {
    if (!alive) {
      pause();
      continue;
    }
    int fd = open(alive, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    sleep(1);
  }
}
