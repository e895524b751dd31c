// record DATA_DIR: the boot-check record and the mode the next cycle will
// use, read with the daemon's own record and version code.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common.hpp"
#include "config.hpp"
#include "tool.hpp"
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
  record_view v = read_record(dir);
  std::string path = dir + "/.bootchk";
  if (v.read) rep.note(path, "%s", v.shown.c_str());
  rep.note(path, "%s", v.says.c_str());
  return 0;
}
