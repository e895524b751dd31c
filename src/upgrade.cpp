// SPDX-License-Identifier: MIT
#include "upgrade.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <utility>

#include "upgrade_package.hpp"

namespace {

struct text_freer {
  void operator()(char* p) const { cJSON_free(p); }
};

void bootchk_path(char (&path)[kDataPathSize]) {
  snprintf(path, sizeof path, "%s/%s", kDataDir, ".bootchk");
}

void add_number(cJSON* record, const char* key) {
  cJSON_AddItemToObject(record, key, cJSON_CreateNumber(1));
}

}  // namespace

json_ptr load_bootchk() {
  char path[kDataPathSize];
  bootchk_path(path);
  return json_read_file(path);
}

int clear_bootchk() {
  char path[kDataPathSize];
  bootchk_path(path);
  if (access(path, R_OK) != 0) return 0;
  unlink(path);
  return 1;
}

bool bootchk_present() {
  char path[kDataPathSize];
  bootchk_path(path);
  return access(path, F_OK) == 0;
}

int read_boot_mode() {
  json_ptr record = load_bootchk();
  if (!record) return 0;
  const char* version = json_get_string(record.get(), "version");
  if (!version) return 0;
  if (version_compare(version, kVersion) < 0) {
    clear_bootchk();
    return 0;
  }
  return json_get_int(record.get(), "plugindata") == 1 ? 1 : 0;
}

uint32_t version_pack(const char* text) {
  uint32_t packed = 0;
  const char* p = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    while (*p == '.') ++p;  // empty fields do not count
    if (*p == '\0') break;
    uint32_t v = 0;
    for (; *p && *p != '.'; ++p) v = v * 10 + static_cast<uint32_t>(*p - '0');
    packed |= (v & 0xffu) << shift;
  }
  return packed;
}

int32_t version_compare(const char* a, const char* b) {
  uint32_t pa = version_pack(a);
  uint32_t pb = version_pack(b);
  return pa < pb ? -1 : pa > pb ? 1 : 0;
}

namespace {

enum class copied { whole, read_failed, write_failed };

// Copies everything from in to out.
copied copy_fd(int in, int out) {
  char buf[1024];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return copied::read_failed;
    if (n == 0) return copied::whole;
    if (write_all(out, buf, static_cast<size_t>(n)) != 0) return copied::write_failed;
  }
}

// Makes a rename in the directory of path durable.
void sync_dir_of(const char* path) {
  char dir[kDataPathSize];
  if (dir_name(path, dir, sizeof dir) != 0) return;
  unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) fsync(fd.get());
}

// A new file written beside path as path + ".tmp", which replaces path only
// once all of it is written and synced; until then, and when that fails, path
// stays as it was and the temporary file is removed. A stale temporary file
// (a power cut's, or a link planted there) is removed first, and the new one
// is created afresh, never through a link.
class replacement {
 public:
  replacement(const char* path, mode_t mode) : path_(path), fd_(open_temp(mode)) {}
  ~replacement() {
    if (fd_.get() >= 0) unlink(tmp_);
  }
  replacement(const replacement&) = delete;
  replacement& operator=(const replacement&) = delete;
  int fd() const { return fd_.get(); }
  // Puts the file in place when written is true, durably; 0 or -1.
  int commit(bool written) {
    bool ok = written && fsync(fd_.get()) == 0;
    ok = close(fd_.release()) == 0 && ok;
    if (ok && rename(tmp_, path_) == 0) {
      sync_dir_of(path_);
      return 0;
    }
    unlink(tmp_);
    return -1;
  }

 private:
  int open_temp(mode_t mode) {
    if (snprintf(tmp_, sizeof tmp_, "%s.tmp", path_) >= static_cast<int>(sizeof tmp_)) return -1;
    unlink(tmp_);
    return open(tmp_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  }

  const char* path_;
  char tmp_[kDataPathSize + 8];
  unique_fd fd_;  // after tmp_, which open_temp fills
};

int write_record(const char* path, const cJSON* record) {
  std::unique_ptr<char, text_freer> text(cJSON_PrintUnformatted(record));
  return text ? write_text_file(path, text.get(), strlen(text.get())) : -1;
}

// Takes every plugindata member out of a record that selects data mode and
// writes it durably; false when that write failed, and then record is as it
// was.
bool leave_data_mode(json_ptr& record, const char* record_path) {
  if (json_get_int(record.get(), "plugindata") != 1) return true;
  json_ptr without(cJSON_Duplicate(record.get(), 1));
  if (!without) return false;
  while (cJSON_GetObjectItem(without.get(), "plugindata"))
    cJSON_DeleteItemFromObject(without.get(), "plugindata");
  if (write_record(record_path, without.get()) != 0) return false;
  record = std::move(without);
  return true;
}

// Whether what was written into the data directory has reached the storage.
// Where syncfs is missing, sync does the job but cannot report a failure.
bool data_on_disk() {
  unique_fd dir(open(kDataDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return false;
  if (syncfs(dir.get()) == 0) return true;
  if (errno != ENOSYS) return false;
  sync();
  return true;
}

// Unpacks the package, read from the descriptor that was tested, into the
// data directory. The record selects data mode only over a whole, durable
// unpack: when it selects it now, the package is first read whole, and the
// record then loses every plugindata member, so that a device cut off
// during the unpack starts the shipped programs, never a half-written set.
// A package that cannot be read whole, or a record that cannot lose
// plugindata (a full disk), leaves the data directory and the record as they
// were. Without an earlier upgrade there is nothing to keep: a package that
// fails leaves the shipped programs, tested or not, so it is not tested.
void unpack(int package, json_ptr& record, const char* record_path) {
  if (json_get_int(record.get(), "plugindata") == 1 &&
      (!package_readable(package) || !leave_data_mode(record, record_path)))
    return;
  char cmd[2048];
  snprintf(cmd, sizeof cmd, "tar -zxf /proc/self/fd/0 -C %s", kDataDir);
  if (run_on_package(cmd, package) == 0 && data_on_disk()) add_number(record.get(), "plugindata");
}

// A failure says which side failed: in is -1 when the source could not be
// opened, out is -1 when dst could not be written (its temporary file or the
// rename).
int copy_into(int in, const char* dst) {
  replacement out(dst, 0700);
  int out_fd = out.fd();
  if (in >= 0 && out_fd >= 0) {
    copied result = copy_fd(in, out_fd);
    if (out.commit(result == copied::whole) == 0) return 0;
    if (result != copied::read_failed) out_fd = -1;
  }
  printf(kMsgCopyFailed, in, out_fd);
  return -1;
}

void install_blob(int package, cJSON* record) {
  char blob[kDataPathSize];
  snprintf(blob, sizeof blob, "%s/%s", kDataDir, "init.bin");
  if (copy_into(package, blob) == 0) add_number(record, "luadata");
}

}  // namespace

int copy_file(const char* src, const char* dst) {
  unique_fd in(open_regular(src));
  return copy_into(in.get(), dst);
}

int write_text_file(const char* path, const char* data, size_t len) {
  replacement out(path, 0666);
  if (out.fd() < 0) return -1;
  return out.commit(write_all(out.fd(), data, len) == 0);
}

void apply_upgrade(supervisor_state& /*state*/, int code) {
  char package[510];
  snprintf(package, sizeof package, "%s/%s", kStateDir, "qvupgrade.tgz");
  // Anything but a readable regular file (a FIFO, a device), or a file that
  // another user could have put there or rewritten, counts as no package.
  // What is installed is read through this one descriptor, never by name.
  unique_fd fd(open_package(package));
  if (fd.get() < 0) return;
  char path[kDataPathSize];
  bootchk_path(path);
  json_ptr record = json_read_file(path);
  if (!cJSON_IsObject(record.get())) record.reset(cJSON_CreateObject());
  if (record && !json_get_string(record.get(), "version"))
    cJSON_AddItemToObject(record.get(), "version", cJSON_CreateString(kVersion));
  if (record && code == kExitUnpackPackage) unpack(fd.get(), record, path);
  if (record && code == kExitInstallBlob) install_blob(fd.get(), record.get());
  unlink(package);
  if (record) write_record(path, record.get());
}
