// SPDX-License-Identifier: MIT
#include "upgrade_package.hpp"

#include <unistd.h>

#include "common.hpp"

bool package_trusted(const struct stat& entry, const struct stat& file, const struct stat& dir,
                     uid_t uid, gid_t gid) {
  if (file.st_mode & S_IWOTH) return false;  // anybody may rewrite its contents
  if (!(dir.st_mode & S_IWOTH)) return true;
  auto ours = [&](uid_t owner) { return owner == uid || owner == 0; };
  bool group_ours = !(file.st_mode & S_IWGRP) || file.st_gid == gid || file.st_gid == 0;
  // Without the sticky bit anybody may replace even our own file; a second
  // name may be another user's link to a file of ours.
  return (dir.st_mode & S_ISVTX) && ours(entry.st_uid) && ours(file.st_uid) && file.st_nlink == 1 &&
         group_ours;
}

int open_package(const char* path) {
  char dir[kPathSize];
  struct stat dir_st, entry, file;
  if (dir_name(path, dir, sizeof dir) != 0 || lstat(dir, &dir_st) != 0 || lstat(path, &entry) != 0)
    return -1;
  unique_fd fd(open_regular(path));
  if (fd.get() < 0 || fstat(fd.get(), &file) != 0) return -1;
  if (!package_trusted(entry, file, dir_st, geteuid(), getegid())) return -1;
  return fd.release();
}

int run_on_package(const char* cmd, int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) return -1;
  return run_shell(cmd, fd);
}

bool package_readable(int fd) {
  return run_on_package("tar -tzf /proc/self/fd/0 >/dev/null", fd) == 0;
}
