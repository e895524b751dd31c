// SPDX-License-Identifier: MIT
#include "common.hpp"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SYS_close_range
#define SYS_close_range 436  // the same number on every architecture we build for
#endif

extern char** environ;

unique_fd::~unique_fd() {
  if (fd_ >= 0) close(fd_);
}

namespace {

// Parses a descriptor number; -1 for anything else ("." and "..").
long parse_fd(const char* s) {
  if (*s == '\0') return -1;
  long v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9' || v > 100000000) return -1;
    v = v * 10 + (*s - '0');
  }
  return v;
}

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

}  // namespace

bool close_listed_fds(int first_fd, long limit) {
  int dir = static_cast<int>(
      syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir < 0) return false;
  alignas(8) char buf[1024];
  for (;;) {
    long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n < 0) {
      close(dir);
      return false;
    }
    if (n == 0) break;
    for (long off = 0; off < n;) {
      auto* d = reinterpret_cast<linux_dirent64*>(buf + off);
      long fd = parse_fd(d->d_name);
      if (fd >= first_fd && fd < limit && fd != dir) close(static_cast<int>(fd));
      off += d->d_reclen;
    }
  }
  close(dir);
  return true;
}

void close_inherited_fds(int first_fd) {
  if (first_fd < 1) first_fd = 3;
  long limit = sysconf(_SC_OPEN_MAX);
  if (limit < 0 || first_fd >= limit) return;
  if (syscall(SYS_close_range, first_fd, limit - 1, 0) == 0) return;
  if (close_listed_fds(first_fd, limit)) return;
  for (long fd = first_fd; fd < limit; ++fd) close(static_cast<int>(fd));
}

int open_regular(const char* path, off_t* size) {
  unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  if (size) *size = st.st_size;
  return fd.release();
}

int write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int read_all(int fd, void* data, size_t len) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int build_kill_command(char* buf, size_t size, const char* name) {
  static const char head[] = "killall -9 '";
  static const char tail[] = "' >/dev/null 2>&1";
  size_t used = 0;
  auto put = [&](const char* s, size_t n) {
    if (used + n >= size) return false;
    memcpy(buf + used, s, n);
    used += n;
    return true;
  };
  bool ok = put(head, sizeof head - 1);
  for (const char* p = name; ok && *p; ++p) ok = *p == '\'' ? put("'\\''", 4) : put(p, 1);
  ok = ok && put(tail, sizeof tail - 1);
  if (size > 0) buf[ok ? used : 0] = '\0';
  return ok ? 0 : -1;
}

namespace {

// The file actions of a spawn, destroyed when they go out of scope.
class spawn_actions {
 public:
  spawn_actions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~spawn_actions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  spawn_actions(const spawn_actions&) = delete;
  spawn_actions& operator=(const spawn_actions&) = delete;
  // Standard input from fd; false when that cannot be arranged.
  bool input_from(int fd) { return ok_ && posix_spawn_file_actions_adddup2(&actions_, fd, 0) == 0; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

}  // namespace

pid_t start_shell(const char* cmd, int input) {
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd),
                  nullptr};
  pid_t pid;
  spawn_actions actions;
  if (input >= 0 && !actions.input_from(input)) return -1;
  if (posix_spawn(&pid, "/bin/sh", input >= 0 ? actions.get() : nullptr, nullptr, argv, environ) !=
      0)
    return -1;
  return pid;
}

int wait_shell(pid_t pid) {
  if (pid < 0) return -1;
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;  // collected by the main thread's wait
  }
  return status;
}

int run_shell(const char* cmd, int input) {
  return wait_shell(start_shell(cmd, input));
}

void kill_by_name(const char* name) {
  char cmd[kDataPathSize];
  if (build_kill_command(cmd, sizeof cmd, name) == 0) run_shell(cmd);
}

bool kill_hits_own_tools(const char* name) {
  // killall matches a name against process names and the base names of
  // programs and of argv[0]. The shell and killall run as "sh" and "killall";
  // on the board both are BusyBox, which runs applets from its shell through
  // /proc/self/exe, under the process name "exe".
  static const char* const tools[] = {"sh", "killall", "busybox", "exe"};
  size_t len = 0;
  const char* base = base_name(name, &len);
  for (const char* tool : tools)
    if (strlen(tool) == len && memcmp(base, tool, len) == 0) return true;
  return false;
}

const char* base_name(const char* path, size_t* len) {
  size_t end = strlen(path);
  if (end == 0) {
    *len = 1;
    return ".";
  }
  while (end > 1 && path[end - 1] == '/') --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  if (start == end) start = end - 1;  // the path is "/" (or all slashes)
  *len = end - start;
  return path + start;
}

int dir_name(const char* path, char* out, size_t size) {
  size_t len = strlen(path);
  while (len > 1 && path[len - 1] == '/') --len;  // trailing slashes
  while (len > 0 && path[len - 1] != '/') --len;  // the last component
  while (len > 1 && path[len - 1] == '/') --len;  // slashes before it
  const char* dir = path;
  if (len == 0) {
    dir = ".";
    len = 1;
  }
  if (len >= size) return -1;
  memcpy(out, dir, len);
  out[len] = '\0';
  return 0;
}
