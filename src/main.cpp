// SPDX-License-Identifier: MIT
// The entry point: prepares the process, takes the single-instance lock and
// hands over to the supervision loop.
#include "main.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "alive.hpp"
#include "common.hpp"
#include "config.hpp"
#include "runfile.hpp"
#include "supervise.hpp"

namespace {

// Changes into the directory part of argv0, taken from the whole text.
void enter_program_dir(const char* argv0) {
  if (!argv0) return;
  char dir[kPathSize];
  if (dir_name(argv0, dir, sizeof dir) == 0) {
    int ignored = chdir(dir);
    (void)ignored;
  }
}

// Puts /dev/null on each standard descriptor that is closed, so that nothing
// opened later takes its number: the run file must not become standard output
// or descriptor 0.
void open_standard_fds() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) close(null_fd);
  }
}

int ensure_dir(const char* path, mode_t mode) {
  if (DIR* dir = opendir(path)) {
    closedir(dir);
    return 0;
  }
  if (mkdir(path, mode) != 0 && errno != EEXIST) {
    printf(kMsgMkdirFailed, path, strerror(errno));
    return -1;
  }
  return 0;
}

// The state directory sits in the world-writable /tmp. It is made sticky, as
// /tmp is, so that nobody replaces another's files in it; one that is a link,
// or a directory of another user (root's is trusted), is refused.
int ensure_state_dir() {
  if (ensure_dir(kStateDir, 01777) != 0) return -1;
  char dir[sizeof kStateDir];  // without its final slash, so that a link is not followed
  memcpy(dir, kStateDir, sizeof kStateDir - 2);
  dir[sizeof kStateDir - 2] = '\0';
  struct stat st;
  if (lstat(dir, &st) == 0 &&
      (S_ISLNK(st.st_mode) || (S_ISDIR(st.st_mode) && st.st_uid != geteuid() && st.st_uid != 0))) {
    printf(kMsgMkdirFailed, kStateDir, strerror(EPERM));
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_fds();
  close_inherited_fds(3);
  // Line by line also into a pipe or file: no message waits in the buffer,
  // none is lost when the daemon is killed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  static supervisor_state state;
  if (argc < 1 || !argv[0] || argv[0][0] == '\0') {
    printf(kMsgNoProgramPath);
    return 0;
  }
  size_t base_len = 0;
  const char* base = base_name(argv[0], &base_len);
  snprintf(state.run_path, sizeof state.run_path, "%s%.*s.run", kStateDir,
           static_cast<int>(base_len), base);
  enter_program_dir(argv[0]);
  if (argc > 1) state.debug_flag = 1;
  if (ensure_state_dir() != 0 || ensure_dir(kDataDir, 0777) != 0) return 0;
  if (load_watch_config("config", state) != 0) {
    printf(kMsgInitFailed);
    return 0;
  }
  if (open_run_file(argv[0], state) != 0) return 0;
  signal(SIGCHLD, SIG_DFL);
  start_check_alive(state);
  supervise(state);
  return 0;
}
