// SPDX-License-Identifier: MIT
// The release version a daemon binary carries in its note "minder version X".
#include <string.h>
#include <unistd.h>

#include "common.hpp"
#include "elf.hpp"

namespace {

constexpr char kMark[] = "minder version ";
constexpr size_t kMarkLen = sizeof kMark - 1;
constexpr size_t kMaxVersion = 32;

bool version_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && strchr(".+~-", c));
}

// The version after the first mark in buf[0..len) that is followed by a digit
// and ends, with a NUL, before len; empty when none does.
std::string find_version(const char* buf, size_t len) {
  const char* end = buf + len;
  for (const char* at = buf; at < end; ++at) {
    at = static_cast<const char*>(memmem(at, static_cast<size_t>(end - at), kMark, kMarkLen));
    if (!at) break;
    const char* v = at + kMarkLen;
    size_t n = 0;
    while (v + n < end && n < kMaxVersion && version_char(v[n])) ++n;
    if (n > 0 && v + n < end && v[n] == '\0' && v[0] >= '0' && v[0] <= '9')
      return std::string(v, n);
  }
  return "";
}

}  // namespace

std::string daemon_version(const std::string& path) {
  std::string why;
  unique_fd fd(open_input(path, &why));
  if (fd.get() < 0) return "";
  // Read in blocks; each keeps the end of the one before, so that a mark
  // across the boundary is found whole.
  constexpr size_t kKeep = kMarkLen + kMaxVersion + 1;
  char buf[65536];
  size_t have = 0;
  for (ssize_t n; (n = read(fd.get(), buf + have, sizeof buf - have)) > 0;) {
    have += static_cast<size_t>(n);
    std::string version = find_version(buf, have);
    if (!version.empty()) return version;
    size_t keep = have < kKeep ? have : kKeep;
    memmove(buf, buf + have - keep, keep);
    have = keep;
  }
  return "";
}
