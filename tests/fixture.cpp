// SPDX-License-Identifier: MIT
// A stand-in child program. Copied under each child name; every start appends
// "PID<TAB>ARGV..." to NAME.log in the working directory, then runs line K of
// NAME.plan (K = starts so far; the last line once they run out, "stay" when
// there is no plan). Words of a plan line, run in order:
//   exit N | sleep S | signal N | ignore N | touch | beat P N | stay
// touch creates the heartbeat file named after -A; beat does it every P
// seconds, N times (0: forever); ignore N sets signal N to be ignored.
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static const char* heartbeat_path(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-A") == 0) return argv[i + 1];
  return nullptr;
}

static void touch(const char* path) {
  if (!path) return;
  FILE* f = fopen(path, "w");
  if (f) fclose(f);
}

static int count_lines(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int n = 0;
  for (int c; (c = fgetc(f)) != EOF;) n += c == '\n';
  fclose(f);
  return n;
}

// Line k of path, or its last line when it has fewer.
static bool plan_line(const char* path, int k, char* line, size_t size) {
  FILE* f = fopen(path, "r");
  if (!f) return false;
  bool found = false;
  for (int i = 0; i <= k && fgets(line, static_cast<int>(size), f); ++i) found = true;
  fclose(f);
  return found;
}

int main(int argc, char** argv) {
  char self[4096];
  snprintf(self, sizeof self, "%s", argv[0]);
  const char* name = basename(self);
  char log[4200], plan[4200], line[4096];
  snprintf(log, sizeof log, "%s.log", name);
  snprintf(plan, sizeof plan, "%s.plan", name);
  int k = count_lines(log);
  if (FILE* f = fopen(log, "a")) {
    fprintf(f, "%d\t", static_cast<int>(getpid()));
    for (int i = 0; i < argc; ++i) fprintf(f, i ? " %s" : "%s", argv[i]);
    fputc('\n', f);
    fclose(f);
  }
  const char* alive = heartbeat_path(argc, argv);
  if (!plan_line(plan, k, line, sizeof line)) strcpy(line, "stay");
  char* words[64];
  int count = 0;
  char* save = nullptr;
  for (char* w = strtok_r(line, " \n", &save); w && count < 64; w = strtok_r(nullptr, " \n", &save))
    words[count++] = w;
  auto arg = [&](int i) { return i < count ? atoi(words[i]) : 0; };
  for (int i = 0; i < count; ++i) {
    const char* w = words[i];
    if (strcmp(w, "exit") == 0) exit(arg(++i));
    if (strcmp(w, "sleep") == 0) sleep(static_cast<unsigned>(arg(++i)));
    if (strcmp(w, "touch") == 0) touch(alive);
    if (strcmp(w, "ignore") == 0) signal(arg(++i), SIG_IGN);
    if (strcmp(w, "signal") == 0) {
      struct rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      int sig = arg(++i);
      signal(sig, SIG_DFL);
      raise(sig);
    }
    if (strcmp(w, "beat") == 0) {
      unsigned period = static_cast<unsigned>(arg(++i));
      int times = arg(++i);
      for (int t = 0; times == 0 || t < times; ++t) {
        touch(alive);
        sleep(period);
      }
    }
    if (strcmp(w, "stay") == 0) break;
  }
  for (;;) pause();
}
