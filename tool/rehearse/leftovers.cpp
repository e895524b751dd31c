// SPDX-License-Identifier: MIT
// Leftovers of killed rehearsals: a directory is removed only when its name,
// its owner and its mark say it is a rehearsal's, and the process of the mark
// is gone (no such pid, or one that started at another time).
#include "leftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "rehearsal.hpp"

namespace {

// When pid started, in clock ticks since boot (field 22 of its stat); 0 when
// there is no such process.
unsigned long long started(long pid) {
  std::string stat, why;
  if (!read_text("/proc/" + std::to_string(pid) + "/stat", &stat, &why)) return 0;
  size_t at = stat.rfind(')');  // the name before it may hold anything
  if (at == std::string::npos) return 0;
  unsigned long long start = 0;
  const char* p = stat.c_str() + at + 2;
  for (int field = 3; field < 22 && p; ++field) p = strchr(p, ' ') ? strchr(p, ' ') + 1 : nullptr;
  return p && sscanf(p, "%llu", &start) == 1 ? start : 0;
}

// Whether the marked process of dir is gone; false when dir has no mark of
// ours.
bool owner_gone(const std::string& dir) {
  std::string mark = dir + "/.owner", text, why;
  struct stat st;
  if (lstat(mark.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      !read_text(mark, &text, &why))
    return false;
  long pid = 0;
  unsigned long long start = 0;
  if (sscanf(text.c_str(), "%ld %llu", &pid, &start) != 2 || pid <= 0) return false;
  return started(pid) != start;
}

}  // namespace

bool mark_work(const std::string& dir, std::string* why) {
  return write_text(dir + "/.owner",
                    std::to_string(getpid()) + " " + std::to_string(started(getpid())) + "\n", 0600,
                    why);
}

int clear_leftovers(const std::string& tmp) {
  std::unique_ptr<DIR, dir_closer> d(opendir(tmp.c_str()));
  int cleared = 0;
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string path = tmp + "/" + e->d_name;
    struct stat st;
    if (strncmp(e->d_name, kWorkPrefix, strlen(kWorkPrefix)) != 0 ||
        lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        !owner_gone(path))
      continue;
    remove_tree(path);
    ++cleared;
  }
  return cleared;
}
