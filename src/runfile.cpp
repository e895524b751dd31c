// SPDX-License-Identifier: MIT
#include "runfile.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// Empties the run file down to its first line (the program directory) and
// puts the write offset behind it.
void cut_back(int fd) {
  char head[kPathSize + 1];
  ssize_t n = pread(fd, head, sizeof head, 0);
  const void* eol = n > 0 ? memchr(head, '\n', static_cast<size_t>(n)) : nullptr;
  off_t keep = eol ? static_cast<const char*>(eol) - head + 1 : 0;
  if (ftruncate(fd, keep) == 0) lseek(fd, keep, SEEK_SET);
}

// Serialises the two threads' writers so that a cut-back never races a line.
// A blocking lock: on one core a spinning writer would only delay the holder.
pthread_mutex_t writing = PTHREAD_MUTEX_INITIALIZER;

class lock_guard {
 public:
  explicit lock_guard(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~lock_guard() { pthread_mutex_unlock(&m_); }
  lock_guard(const lock_guard&) = delete;
  lock_guard& operator=(const lock_guard&) = delete;

 private:
  pthread_mutex_t& m_;
};

// Opens the file at path, created when missing. Anything there that belongs
// to another user (a file, a link, a FIFO) is removed and the file created
// afresh, so that nobody else holds its lock or can rewrite the log; a
// descriptor of another user's file is never returned.
int open_own(const char* path) {
  const uid_t me = geteuid();
  for (int tries = 0; tries < 4; ++tries) {
    struct stat st;
    bool foreign = fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != me;
    if (foreign && unlink(path) != 0 && errno != ENOENT) return -1;
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (foreign ? O_EXCL : 0);
    unique_fd fd(open(path, flags, 0644));
    if (fd.get() < 0 && errno != EEXIST) return -1;
    if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && st.st_uid == me) return fd.release();
  }
  return -1;  // another user keeps putting files there
}

}  // namespace

int lock_run_file(const char* path, const char* data, int32_t len) {
  if (!path) {
    printf(kMsgNoFileName);
    return -1;
  }
  // The state directory is shared: another user's file at the path has been
  // replaced, and anything of ours other than a regular file with one name
  // (a link, a FIFO, a second name of another file) is not opened through.
  unique_fd fd(open_own(path));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    printf(kMsgOpenFailed, path);
    return -1;
  }
  int flags = fcntl(fd.get(), F_GETFD);
  if (flags < 0 || fcntl(fd.get(), F_SETFD, flags | FD_CLOEXEC) < 0) {
    printf(kMsgCloexecFailed, path);
    return -1;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    printf(kMsgInUse, path);
    return -1;
  }
  int ignored = ftruncate(fd.get(), 0);
  if (len > 0) ignored = static_cast<int>(write(fd.get(), data, static_cast<size_t>(len)));
  (void)ignored;
  return fd.release();
}

int open_run_file(const char* argv0, supervisor_state& state) {
  char cwd[kPathSize];
  if (!getcwd(cwd, sizeof cwd)) {
    printf(kMsgNoCurrentDir);
    return -1;
  }
  int fd = lock_run_file(state.run_path, cwd, static_cast<int32_t>(strlen(cwd)));
  state.run_fd.store(fd, std::memory_order_release);
  if (fd < 0) {
    printf(kMsgAlreadyRun, argv0);
    return -1;
  }
  ssize_t ignored = write(fd, "\n", 1);
  (void)ignored;
  return 0;
}

int log_write(int fd, const char* data, int32_t len) {
  if (fd <= 0) return -1;
  lock_guard hold(writing);
  off_t end = lseek(fd, 0, SEEK_CUR);
  if (end >= 0 && len > 0 && end + len > kRunFileLimit) cut_back(fd);
  ssize_t ignored = write(fd, data, len > 0 ? static_cast<size_t>(len) : 0);
  (void)ignored;
  return 0;
}

int format_exit_line(char* line, size_t size, const char* when, int code, int exited,
                     const char* name) {
  int n = exited ? snprintf(line, size, kExitLine, when, name, code)
                 : snprintf(line, size, kSignalLine, when, name, code);
  if (n < 0) return 0;
  if (static_cast<size_t>(n) < size) return n;
  line[size - 2] = '\n';
  return static_cast<int>(size - 1);
}

void log_exit(int code, int exited, const char* name, int fd) {
  char when[64] = "";
  time_t now = time(nullptr);
  struct tm local;
  char text[64];
  if (localtime_r(&now, &local) && asctime_r(&local, text)) {
    snprintf(when, sizeof when, "%.63s", text);
    size_t len = strlen(when);
    if (len > 0) when[len - 1] = '\0';
  }
  char line[256];
  int len = format_exit_line(line, sizeof line, when, code, exited, name);
  log_write(fd, line, len);
}

void log_not_alive(const char* name, int fd) {
  char line[kDataPathSize];
  int n = snprintf(line, sizeof line, kNotAliveLine, name);
  int len = n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1;
  log_write(fd, line, len);
}

void log_check_alive_failed(int fd) {
  log_write(fd, kCheckAliveFailedLine, sizeof kCheckAliveFailedLine - 1);
}
