// SPDX-License-Identifier: MIT
// What several commands of minder-tool share: the report of findings, the
// children a config names, and small texts about files and paths.
#include <archive.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>

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

void archive_reader_freer::operator()(archive* a) const {
  archive_read_free(a);
}

void archive_writer_freer::operator()(archive* a) const {
  archive_write_free(a);
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

std::string mode_text(mode_t mode) {
  std::string text = S_ISDIR(mode)    ? "d"
                     : S_ISLNK(mode)  ? "l"
                     : S_ISREG(mode)  ? "-"
                     : S_ISCHR(mode)  ? "c"
                     : S_ISBLK(mode)  ? "b"
                     : S_ISFIFO(mode) ? "p"
                     : S_ISSOCK(mode) ? "s"
                                      : "?";
  const char letters[] = "rwxrwxrwx";
  const mode_t special[] = {S_ISUID, S_ISGID, S_ISVTX};  // shown in place of x, as ls does
  for (int bit = 0; bit < 9; ++bit) {
    char c = mode & (0400 >> bit) ? letters[bit] : '-';
    if (bit % 3 == 2 && mode & special[bit / 3]) c = c == 'x' ? "sst"[bit / 3] : "SST"[bit / 3];
    text += c;
  }
  return text;
}

const char* reserved_name(const std::string& name) {
  if (name == ".bootchk") return "the boot-check record";
  if (name == ".bootchk.tmp") return "the temporary file of the boot-check record";
  if (name == "init.bin") return "the script blob";
  if (name == "init.bin.tmp") return "the temporary file of the script blob";
  return nullptr;
}

std::string landing(const char* path) {
  std::string p = path;
  while (p.compare(0, 2, "./") == 0) p.erase(0, p.find_first_not_of('/', 1));
  while (!p.empty() && p.back() == '/') p.pop_back();
  return p == "." ? "" : p;
}

std::string dir_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
