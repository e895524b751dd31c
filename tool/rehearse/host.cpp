// SPDX-License-Identifier: MIT
// What the rehearsal does on the host: running a program, copying a file,
// removing its own directory.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.hpp"
#include "rehearsal.hpp"

std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t colon = std::min(dirs.find(':', start), dirs.size());
    std::string dir = dirs.substr(start, colon - start);
    std::string file = (dir.empty() ? "." : dir) + "/" + name;
    if (access(file.c_str(), X_OK) == 0) return file;
    start = colon + 1;
  }
  return "";
}

namespace {

// The captured text, its last line kept when it is long.
std::string captured(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  size_t last = text.rfind('\n');
  return last == std::string::npos ? text : text.substr(last + 1);
}

}  // namespace

int run_program(const std::vector<std::string>& argv, const std::string& cwd, int out_fd,
                std::string* err) {
  std::string file = find_program(argv[0]);
  if (file.empty()) {
    *err = "no " + argv[0] + " on PATH";
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  unique_fd err_fd(memfd_create("stderr", MFD_CLOEXEC));
  if (null_fd.get() < 0 || err_fd.get() < 0) {
    *err = strerror(errno);
    return -1;
  }
  int out = out_fd >= 0 ? out_fd : null_fd.get();
  pid_t pid = fork();
  if (pid < 0) {
    *err = strerror(errno);
    return -1;
  }
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0 || dup2(null_fd.get(), 0) < 0 || dup2(out, 1) < 0 ||
        dup2(err_fd.get(), 2) < 0)
      _exit(127);
    execv(file.c_str(), args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  *err = captured(err_fd.get());
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

bool copy_to(const std::string& from, const std::string& to, mode_t mode, std::string* why) {
  unique_fd in(open_input(from, why));
  if (in.get() < 0) {
    *why = from + ": " + *why;
    return false;
  }
  unique_fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (out.get() < 0) {
    *why = to + ": " + strerror(errno);
    return false;
  }
  char buf[65536];
  for (ssize_t n; (n = read(in.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 || write_all(out.get(), buf, static_cast<size_t>(n)) != 0) {
      *why = to + ": " + strerror(errno);
      return false;
    }
  }
  // The umask does not decide what the board's files allow.
  if (fchmod(out.get(), mode) != 0) {
    *why = to + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool write_text(const std::string& path, const std::string& text, mode_t mode, std::string* why) {
  unique_fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (out.get() < 0 || write_all(out.get(), text.data(), text.size()) != 0 ||
      fchmod(out.get(), mode) != 0) {
    *why = path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool read_text(const std::string& path, std::string* text, std::string* why) {
  unique_fd in(open_input(path, why));
  if (in.get() < 0) {
    *why = path + ": " + *why;
    return false;
  }
  char buf[65536];
  for (ssize_t n; (n = read(in.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) {
      *why = path + ": " + strerror(errno);
      return false;
    }
    text->append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool make_dirs(const std::string& path, std::string* why) {
  for (size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      *why = part + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

namespace {

// Directories made by the board's programs may deny their owner writing, and
// the overlay's work directory denies reading (FTW_DNR, unless we are root).
int open_up(const char* path, const struct stat* st, int type, FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | 0700);
  return 0;
}

int remove_one(const char* path, const struct stat*, int type, FTW*) {
  if (type == FTW_DP || type == FTW_DNR)
    rmdir(path);
  else
    unlink(path);
  return 0;
}

}  // namespace

void remove_tree(const std::string& path) {
  nftw(path.c_str(), open_up, 16, FTW_PHYS | FTW_MOUNT);
  nftw(path.c_str(), remove_one, 16, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
}
