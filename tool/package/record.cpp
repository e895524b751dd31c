// SPDX-License-Identifier: MIT
// record DATA_DIR: the boot-check record and the mode the next cycle will
// use, read with the daemon's own record and version code.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "config.hpp"
#include "entry.hpp"
#include "upgrade.hpp"

namespace {

// The first bytes of the file, control characters escaped.
std::string shown(const unsigned char* buf, size_t n, bool more) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    char esc[8];
    snprintf(esc, sizeof esc, buf[i] < ' ' || buf[i] == 127 ? "\\x%02x" : "%c", buf[i]);
    text += esc;
  }
  return text + (more ? "..." : "");
}

}  // namespace

record_view read_record(const std::string& dir) {
  record_view v;
  std::string path = dir + "/.bootchk";
  const char* normal = "normal mode: children start from the program directory";
  if (access(path.c_str(), F_OK) != 0) {
    v.says = std::string("no record: ") + normal;
    return v;
  }
  std::string why;
  unsigned char head[512];
  size_t len = 0;
  if (!read_head(path, head, sizeof head, &len, &why)) {
    v.says = "cannot read it (" + why + "): " + normal + "; the file stays";
    return v;
  }
  v.read = true;
  v.shown = shown(head, len, len == sizeof head);
  json_ptr record = json_read_file(path.c_str());
  const char* version = record ? json_get_string(record.get(), "version") : nullptr;
  v.blob = record && cJSON_IsObject(record.get()) && cJSON_GetObjectItem(record.get(), "luadata");
  if (!record) {
    v.says = std::string("empty, unreadable or not JSON: ") + normal + "; the file stays";
  } else if (!version) {
    v.says =
        std::string(cJSON_IsObject(record.get()) ? "no \"version\" string" : "not a JSON object") +
        ": " + normal + "; the file stays";
  } else if (version_compare(version, kVersion) < 0) {
    v.says = std::string("version ") + version + " is older than the daemon's " + kVersion +
             ": the next cycle removes the record; " + normal;
  } else if (json_get_int(record.get(), "plugindata") == 1) {
    v.data_mode = true;
    v.says = std::string("version ") + version + ", plugindata 1: data mode: children start from " +
             dir + "/NAME with -T, -D and -O";
  } else {
    v.says = std::string("version ") + version + ", " +
             (cJSON_GetObjectItem(record.get(), "plugindata") ? "plugindata is not 1"
                                                              : "no plugindata") +
             ": " + normal;
  }
  return v;
}

namespace {

// Prints the record and the mode it selects; true for data mode. blob: the
// record lists a script blob (luadata).
bool read_mode(report& rep, const std::string& dir, bool* blob) {
  record_view v = read_record(dir);
  std::string path = dir + "/.bootchk";
  if (v.read) rep.note(path, "%s", v.shown.c_str());
  rep.note(path, "%s", v.says.c_str());
  *blob = v.blob;
  return v.data_mode;
}

// A regular file, not a link, that is executable or an ELF program.
bool is_program(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  elf_id id;
  return (st.st_mode & 0111) || elf_of(path, &id);
}

// The programs of an upgrade in dir: those at its top, and configured
// children below it.
std::vector<std::string> programs_in(const std::string& dir,
                                     const std::vector<std::string>& children) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  for (dirent* e; d && (e = readdir(d.get()));)
    if (!reserved_name(e->d_name) && is_program(dir + "/" + e->d_name)) names.push_back(e->d_name);
  for (const std::string& child : children)
    if (child.find('/') != std::string::npos && is_program(dir + "/" + child))
      names.push_back(child);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// In normal mode nothing in dir runs: what an upgrade left there, each
// program judged against the board when options tell it.
void list_leftovers(report& rep, const std::string& dir, const options& opt) {
  std::vector<std::string> children;
  if (opt.config && !configured_children(opt.config, &children))
    rep.problem(opt.config, "the daemon cannot load it: run minder-tool check");
  std::vector<std::string> names = programs_in(dir, children);
  if (names.empty()) return;
  bool told = opt.config || opt.arch || opt.daemon;
  board b;
  if (told) find_board(rep, opt.config ? dir_of(opt.config) : "", children, opt, &b);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name, why;
    rep.note(path,
             "an upgrade unpacked here and not in use: it failed, fell back or was never "
             "selected");
    if (!told) continue;
    std::vector<unsigned char> data;
    if (!read_whole(path, &data, &why))
      rep.note(path, "cannot read it (%s)", why.c_str());
    else
      check_program_bytes(rep, path, data.data(), data.size(), b);
  }
  if (!told)
    rep.note(dir,
             "its programs are not checked against a board: give --config CONFIG (with the "
             "daemon binary beside it), --arch NAME or --daemon PATH");
}

}  // namespace

int cmd_record(const options& opt) {
  report rep;
  const std::string& dir = opt.args[0];
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    rep.problem(dir, "cannot read it (%s)", strerror(errno));
    return rep.status();
  }
  if (!S_ISDIR(st.st_mode)) {
    rep.problem(dir, "not a directory: give the data directory");
    return rep.status();
  }
  bool blob = false;
  bool data_mode = read_mode(rep, dir, &blob);
  struct stat script;
  if (!blob && lstat((dir + "/init.bin").c_str(), &script) == 0)
    rep.note(dir + "/init.bin",
             "a script blob that the record does not list (no luadata): the record that did was "
             "removed (a fall-back, or a record older than the daemon), or the daemon did not "
             "install it");
  if (!data_mode) list_leftovers(rep, dir, opt);
  // What the device went through is told above; only a data directory that
  // cannot be read is an error.
  return 0;
}
