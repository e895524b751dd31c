// SPDX-License-Identifier: MIT
// Run files read from disk line by line, in bounded memory, and the run files
// of a fleet found in the directories given.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common.hpp"
#include "log.hpp"
#include "log_fleet.hpp"

namespace {

// A run file holds about 1 MiB; a system log may hold much more.
constexpr off_t kMaxRead = 64 << 20;

bool ends_with(const std::string& text, const char* tail) {
  size_t n = strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// Calls line(text, cut) for each line of path, text cut to kLongestLine + 1
// bytes; false, and why, when it cannot be read.
template <typename F>
bool each_line(const std::string& path, std::string* why, F line) {
  unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    *why = strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = S_ISDIR(st.st_mode) ? "a directory" : "not a regular file";
    return false;
  }
  static char buf[65536];
  std::string text;
  text.reserve(kLongestLine + 1);
  off_t total = 0;
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = strerror(errno);
      return false;
    }
    for (const char *p = buf, *end = buf + n; p < end;) {
      const char* eol = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = eol ? eol : end;
      size_t room = kLongestLine + 1 - std::min(text.size(), kLongestLine + 1);
      text.append(p, std::min(room, static_cast<size_t>(stop - p)));
      p = eol ? eol + 1 : end;
      if (!eol) continue;
      line(text, false);
      text.clear();
    }
    total += n;
    if (total >= kMaxRead) {
      fprintf(stderr, "minder-tool: %s: only its first %d MiB are read\n", path.c_str(),
              static_cast<int>(kMaxRead >> 20));
      break;
    }
  }
  if (!text.empty()) line(text, true);
  return true;
}

void walk(const std::string& dir, const std::function<void(const std::string&)>& found) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    found(dir);  // its reader tells why
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      walk(path, found);
    else if (ends_with(name, ".run"))
      found(path);
  }
}

}  // namespace

bool read_log(const std::string& run, const std::string& output,
              const std::vector<log_child>& children, log_result* r, std::string* why) {
  log_reader reader(children, !output.empty());
  std::string failed;
  if (!output.empty() &&
      !each_line(output, &failed, [&](const std::string& l, bool) { reader.output_line(l); })) {
    *why = output + ": cannot read it (" + failed + ")";
    return false;
  }
  if (!each_line(run, &failed, [&](const std::string& l, bool cut) { reader.run_line(l, cut); })) {
    *why = run + ": cannot read it (" + failed + ")";
    return false;
  }
  *r = reader.finish();
  return true;
}

std::string output_beside(const std::string& run) {
  if (!ends_with(run, ".run")) return "";
  std::string out = run.substr(0, run.size() - 4) + ".out";
  struct stat st;
  return stat(out.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? out : "";
}

void find_run_files(const std::vector<std::string>& paths,
                    const std::function<void(const std::string&)>& found) {
  for (const std::string& path : paths) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      walk(path, found);
    else
      found(path);
  }
}
