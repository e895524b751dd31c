// SPDX-License-Identifier: MIT
// The board's root file system: the integrator's own (--root), or a minimal
// one that holds nothing but Debian's static BusyBox and its applet links.
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rehearsal.hpp"

bool build_busybox_root(const rehearsal& r, std::string* why) {
  for (const char* d : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/etc", "/proc", "/dev", "/tmp"})
    if (!make_dirs(r.root + d, why)) return false;
  if (!copy_to(r.busybox, r.root + "/bin/busybox", 0755, why)) return false;
  for (const std::string& applet : r.applets) {
    if (applet == "bin/busybox" || applet.find("..") != std::string::npos) continue;
    std::string link = r.root + "/" + applet;
    if (symlink("/bin/busybox", link.c_str()) != 0 && errno != EEXIST) {
      *why = link + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

namespace {

// Splits path at its slashes, empty parts dropped.
std::vector<std::string> parts_of(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

}  // namespace

// Resolves link by link, so that an absolute link (/lib -> /usr/lib) stays
// inside the root instead of reaching the host's files.
bool exists_in_root(const std::string& rootfs, const std::string& path) {
  std::vector<std::string> todo = parts_of(path);
  std::string at;  // resolved so far, no links in it
  for (int hops = 0; !todo.empty();) {
    std::string part = todo.front();
    todo.erase(todo.begin());
    if (part == ".") continue;
    if (part == "..") {
      at = at.substr(0, at.rfind('/') == std::string::npos ? 0 : at.rfind('/'));
      continue;
    }
    std::string next = at + "/" + part;
    struct stat st;
    if (lstat((rootfs + next).c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      at = next;
      continue;
    }
    char target[PATH_MAX];
    ssize_t n = readlink((rootfs + next).c_str(), target, sizeof target - 1);
    if (n < 0 || ++hops > 40) return false;
    std::vector<std::string> more = parts_of(std::string(target, static_cast<size_t>(n)));
    if (target[0] == '/') at.clear();
    todo.insert(todo.begin(), more.begin(), more.end());
  }
  return true;
}
