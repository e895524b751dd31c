// SPDX-License-Identifier: MIT
// What the package commands share about archives and the paths in them:
// libarchive's errors and deleters, the names the daemon keeps in ../data/,
// and how a member's path and mode read.
#include <archive.h>
#include <sys/stat.h>

#include "entry.hpp"
#include "package.hpp"

const char* archive_why(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

void archive_reader_freer::operator()(archive* a) const {
  archive_read_free(a);
}

void archive_writer_freer::operator()(archive* a) const {
  archive_write_free(a);
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
