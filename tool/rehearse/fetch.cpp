// SPDX-License-Identifier: MIT
// What the rehearsal takes from Debian, fetched once into the cache with
// apt-get download and unpacked there with libarchive, never installed:
// busybox-static for the board's architecture and the static emulator of
// qemu-user-static.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "package.hpp"
#include "rehearsal.hpp"

namespace {

using reader = std::unique_ptr<archive, archive_reader_freer>;

// The cache outside any tree: ${XDG_CACHE_HOME:-$HOME/.cache}/minder-tool.
std::string cache_dir() {
  const char* xdg = getenv("XDG_CACHE_HOME");
  const char* home = getenv("HOME");
  std::string base =
      xdg && *xdg == '/' ? xdg : std::string(home && *home ? home : "/tmp") + "/.cache";
  return base + "/minder-tool";
}

// The inner archive (data.tar.*) reads the outer one's current member.
la_ssize_t read_member(archive*, void* outer, const void** buf) {
  size_t size = 0;
  la_int64_t offset = 0;
  int r = archive_read_data_block(static_cast<archive*>(outer), buf, &size, &offset);
  if (r == ARCHIVE_EOF) return 0;
  return r == ARCHIVE_OK ? static_cast<la_ssize_t>(size) : -1;
}

bool save_member(archive* a, const std::string& to, std::string* why) {
  unique_fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
  if (out.get() < 0) {
    *why = to + ": " + strerror(errno);
    return false;
  }
  char buf[65536];
  for (la_ssize_t n; (n = archive_read_data(a, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      *why = archive_why(a);
      return false;
    }
    if (write_all(out.get(), buf, static_cast<size_t>(n)) != 0) {
      *why = to + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

// Unpacks the members of the package deb named like "./bin/busybox" into dir,
// each under its base name.
bool unpack_deb(const std::string& deb, const std::vector<std::string>& members,
                const std::string& dir, std::string* why) {
  reader outer(archive_read_new());
  archive_read_support_format_ar(outer.get());
  if (archive_read_open_filename(outer.get(), deb.c_str(), 65536) != ARCHIVE_OK) {
    *why = deb + ": " + archive_why(outer.get());
    return false;
  }
  archive_entry* e = nullptr;
  while (archive_read_next_header(outer.get(), &e) == ARCHIVE_OK) {
    if (strncmp(archive_entry_pathname(e), "data.tar", 8) != 0) continue;
    reader inner(archive_read_new());
    archive_read_support_filter_all(inner.get());
    archive_read_support_format_tar(inner.get());
    if (archive_read_open(inner.get(), outer.get(), nullptr, read_member, nullptr) != ARCHIVE_OK) {
      *why = deb + ": " + archive_why(inner.get());
      return false;
    }
    size_t found = 0;
    while (archive_read_next_header(inner.get(), &e) == ARCHIVE_OK) {
      std::string path = archive_entry_pathname(e);
      for (const std::string& m : members)
        if (path == m && archive_entry_filetype(e) == AE_IFREG) {
          if (!save_member(inner.get(), dir + "/" + m.substr(m.rfind('/') + 1), why)) return false;
          ++found;
        }
    }
    if (found == members.size()) return true;
    break;
  }
  *why = deb + ": lacks " + members[0];
  return false;
}

// The one .deb that apt-get download left in dir.
std::string deb_in(const std::string& dir) {
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0) return name;
  }
  return "";
}

// Fetches pkg into the cache directory dir (once), unpacking members; then
// finish runs in the new directory before it takes its place.
bool fetch_deb(const std::string& pkg, const std::vector<std::string>& members,
               const std::string& dir, bool (*finish)(const rehearsal&, const std::string&),
               const rehearsal& r, std::string* why) {
  if (access((dir + "/done").c_str(), F_OK) == 0) return true;
  if (!make_dirs(cache_dir(), why)) return false;
  std::string tmp = cache_dir() + "/.fetch-XXXXXX";
  if (!mkdtemp(&tmp[0])) {
    *why = cache_dir() + ": " + strerror(errno);
    return false;
  }
  std::string err;
  int status = run_program({"apt-get", "download", "-q", pkg}, tmp, -1, &err);
  std::string deb = deb_in(tmp);
  bool ok = status == 0 && !deb.empty();
  if (!ok) *why = "apt-get download " + pkg + ": " + (err.empty() ? "failed" : err);
  ok = ok && unpack_deb(tmp + "/" + deb, members, tmp, why) && (!finish || finish(r, tmp));
  if (!ok && why->empty()) *why = "cannot list the applets of " + pkg;
  unlink((tmp + "/" + deb).c_str());
  ok = ok && write_text(tmp + "/done", deb + "\n", 0644, why);
  // Another rehearsal may have fetched it meanwhile: then that copy stays.
  if (ok && rename(tmp.c_str(), dir.c_str()) != 0 && access((dir + "/done").c_str(), F_OK) != 0) {
    *why = dir + ": " + strerror(errno);
    ok = false;
  }
  remove_tree(tmp);
  return ok;
}

// The applets of the fetched busybox, one path a line ("bin/sh"), as it lists them.
bool list_applets(const rehearsal& r, const std::string& dir) {
  std::vector<std::string> argv = {dir + "/busybox", "--list-full"};
  if (!r.qemu.empty()) argv.insert(argv.begin(), {r.qemu, "-cpu", r.qemu_cpu});
  unique_fd out(
      open((dir + "/applets").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  std::string err;
  return out.get() >= 0 && run_program(argv, dir, out.get(), &err) == 0;
}

}  // namespace

bool fetch_busybox(rehearsal& r, std::string* why) {
  std::string pkg = "busybox-static:" + r.arch;
  std::string dir = cache_dir() + "/busybox-static_" + r.arch;
  if (!fetch_deb(pkg, {"./bin/busybox"}, dir, list_applets, r, why)) {
    *why = "cannot fetch Debian's " + pkg + " (" + *why + "): give --root ROOTFS, or as root run " +
           "\"dpkg --add-architecture " + r.arch + " && apt-get update\"";
    return false;
  }
  r.busybox = dir + "/busybox";
  std::string list, err;
  if (!read_text(dir + "/applets", &list, &err)) {
    *why = err;
    return false;
  }
  r.applets.clear();
  for (size_t start = 0, end; (end = list.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) r.applets.push_back(list.substr(start, end - start));
  return true;
}

bool find_qemu(rehearsal& r, std::string* why) {
  std::string name = r.b.id.machine == 183 ? "qemu-aarch64-static" : "qemu-arm-static";
  r.qemu = find_program(name);
  if (!r.qemu.empty()) return true;
  std::string dir = cache_dir() + "/qemu-user-static";
  if (!fetch_deb("qemu-user-static", {"./usr/bin/qemu-arm-static", "./usr/bin/qemu-aarch64-static"},
                 dir, nullptr, r, why)) {
    *why = "no " + name + " on PATH, and cannot fetch Debian's qemu-user-static (" + *why +
           "): install qemu-user-static";
    return false;
  }
  r.qemu = dir + "/" + name;
  return true;
}
