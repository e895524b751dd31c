// SPDX-License-Identifier: MIT
// minder-tool: checks a program directory, builds and inspects upgrade
// packages, explains the boot-check record and run files, and rehearses an
// upgrade, with the daemon's own loader and record code, so that its verdict
// is the daemon's verdict. This header is what every part of the tool shares:
// the command line, the report of findings, reading the files it is given.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

// What the command line gave: positional arguments and the known options.
struct options {
  std::vector<std::string> args;
  const char* out = nullptr;      // -o FILE
  const char* config = nullptr;   // --config FILE
  const char* arch = nullptr;     // --arch NAME
  const char* daemon = nullptr;   // --daemon NAME
  const char* libc = nullptr;     // --libc NAME: musl (the default) or glibc
  const char* output = nullptr;   // --output FILE: minder's standard output
  const char* svg = nullptr;      // --svg FILE
  bool json = false;              // --json
  bool timeline = false;          // --timeline
  bool each = false;              // --each
  const char* root = nullptr;     // --root ROOTFS
  const char* seconds = nullptr;  // --seconds N
  const char* keep = nullptr;     // --keep DIR
};

// Findings, one line each on standard output, starting with the file they are
// about. Problems (what would stop or surprise the daemon) are counted.
class report {
 public:
  void problem(const std::string& where, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  void note(const std::string& where, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  int problems() const { return problems_; }
  int status() const { return problems_ ? 1 : 0; }

 private:
  int problems_ = 0;
};

// The largest program the tool reads whole.
constexpr size_t kProgramMax = 256u << 20;

// The daemon's open_regular, saying why when it fails; with size, the file's
// size too.
int open_input(const std::string& path, std::string* why, off_t* size = nullptr);

// Reads up to size bytes from the start of the regular file path into buf;
// false, and why, when it cannot.
bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len,
               std::string* why);
// Reads the whole regular file path, at most kProgramMax bytes; false, and
// why, when it cannot.
bool read_whole(const std::string& path, std::vector<unsigned char>* data, std::string* why);

// The children the daemon would start with config_path (at most four, or its
// default child), and with watched whether it checks each one's heartbeat;
// false when the daemon cannot load the file.
bool configured_children(const char* config_path, std::vector<std::string>* names,
                         std::vector<bool>* watched = nullptr);

// The directory part of path: "." when it has none.
std::string dir_of(const std::string& path);
