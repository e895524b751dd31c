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

// Shows the first bytes of the file, control characters escaped.
void show(report& rep, const std::string& path, const unsigned char* buf, size_t n, bool more) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    char esc[8];
    snprintf(esc, sizeof esc, buf[i] < ' ' || buf[i] == 127 ? "\\x%02x" : "%c", buf[i]);
    text += esc;
  }
  rep.note(path, "%s%s", text.c_str(), more ? "..." : "");
}

}  // namespace

int cmd_record(const options& opt) {
  report rep;
  const std::string& dir = opt.args[0];
  std::string path = dir + "/.bootchk";
  const char* normal = "normal mode: children start from the program directory";
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    rep.problem(dir, "cannot read it (%s)", strerror(errno));
    return rep.status();
  }
  if (!S_ISDIR(st.st_mode)) {
    rep.problem(dir, "not a directory: give the data directory");
    return rep.status();
  }
  if (access(path.c_str(), F_OK) != 0) {
    rep.note(path, "no record: %s", normal);
    return 0;
  }
  std::string why;
  unsigned char head[512];
  size_t len = 0;
  if (!read_head(path, head, sizeof head, &len, &why)) {
    rep.note(path, "cannot read it (%s): %s; the file stays", why.c_str(), normal);
    return 0;
  }
  show(rep, path, head, len, len == sizeof head);
  json_ptr record = json_read_file(path.c_str());
  if (!record) {
    rep.note(path, "empty, unreadable or not JSON: %s; the file stays", normal);
    return 0;
  }
  const char* version = json_get_string(record.get(), "version");
  if (!version) {
    rep.note(path, "%s: %s; the file stays",
             cJSON_IsObject(record.get()) ? "no \"version\" string" : "not a JSON object", normal);
    return 0;
  }
  if (version_compare(version, kVersion) < 0) {
    rep.note(path,
             "version %s is older than the daemon's %s: the next cycle removes the record; "
             "%s",
             version, kVersion, normal);
    return 0;
  }
  int plugindata = json_get_int(record.get(), "plugindata");
  if (plugindata == 1) {
    rep.note(path,
             "version %s, plugindata 1: data mode: children start from %s/NAME with -T, -D "
             "and -O",
             version, opt.args[0].c_str());
  } else {
    rep.note(
        path, "version %s, %s: %s", version,
        cJSON_GetObjectItem(record.get(), "plugindata") ? "plugindata is not 1" : "no plugindata",
        normal);
  }
  return 0;
}
