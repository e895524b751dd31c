// SPDX-License-Identifier: MIT
// What every part of minder-tool shares: the report of findings, the
// children a config names, and reading the files the tool is given.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "config.hpp"
#include "tool.hpp"

namespace {

// One line, whatever the names in it hold: control characters become '?'.
void say(const std::string& where, const char* fmt, va_list ap) {
  char text[16384];
  // The analyzer cannot see that the callers started ap.
  vsnprintf(text, sizeof text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
  std::string line = where + ": " + text;
  for (char& c : line)
    if (static_cast<unsigned char>(c) < ' ' || c == 127) c = '?';
  puts(line.c_str());
}

}  // namespace

void report::problem(const std::string& where, const char* fmt, ...) {
  ++problems_;
  va_list ap;
  va_start(ap, fmt);
  say(where, fmt, ap);
  va_end(ap);
}

void report::note(const std::string& where, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  say(where, fmt, ap);
  va_end(ap);
}

bool configured_children(const char* config_path, std::vector<std::string>* names,
                         std::vector<bool>* watched) {
  auto state = std::make_unique<supervisor_state>();
  if (load_watch_config(config_path, *state) != 0) return false;
  for (int i = 0; i < slot_limit(*state); ++i) {
    names->push_back(state->slots[i].name);
    if (watched) watched->push_back(state->slots[i].alive_path[0] != '\0');
  }
  return true;
}

std::string dir_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int open_input(const std::string& path, std::string* why, off_t* size) {
  int fd = open_regular(path.c_str(), size);
  int err = errno;
  struct stat st;
  if (fd >= 0) return fd;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
    *why = strerror(err);
    return -1;
  }
  *why = S_ISDIR(st.st_mode)    ? "a directory"
         : S_ISFIFO(st.st_mode) ? "a FIFO"
         : S_ISSOCK(st.st_mode) ? "a socket"
                                : "a device";
  *why += ", not a regular file";
  return -1;
}

bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len,
               std::string* why) {
  unique_fd fd(open_input(path, why));
  if (fd.get() < 0) return false;
  *len = 0;
  while (*len < size) {
    ssize_t n = read(fd.get(), buf + *len, size - *len);
    if (n < 0) {
      *why = strerror(errno);
      return false;
    }
    if (n == 0) break;
    *len += static_cast<size_t>(n);
  }
  return true;
}

bool read_whole(const std::string& path, std::vector<unsigned char>* data, std::string* why) {
  off_t size = 0;
  unique_fd fd(open_input(path, why, &size));
  if (fd.get() < 0) return false;
  data->clear();
  if (static_cast<unsigned long long>(size) <= kProgramMax) {
    data->reserve(static_cast<size_t>(size));
    unsigned char buf[65536];
    for (ssize_t n; data->size() <= kProgramMax;) {
      n = read(fd.get(), buf, sizeof buf);
      if (n < 0) *why = strerror(errno);
      if (n <= 0) return n == 0;
      data->insert(data->end(), buf, buf + n);
    }
  }
  *why = "larger than " + std::to_string(kProgramMax >> 20) + " MiB";
  return false;
}
