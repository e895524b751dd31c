// SPDX-License-Identifier: MIT
// What the rehearsal takes from Debian, fetched once into the cache with
// apt-get download and unpacked there with libarchive, never installed:
// busybox-static for the board's architecture and the static emulator of
// qemu-user-static.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "deb_find.hpp"
#include "rehearsal.hpp"

namespace {

// The cache outside any tree: ${XDG_CACHE_HOME:-$HOME/.cache}/minder-tool.
std::string cache_dir() {
  const char* xdg = getenv("XDG_CACHE_HOME");
  const char* home = getenv("HOME");
  std::string base =
      xdg && *xdg == '/' ? xdg : std::string(home && *home ? home : "/tmp") + "/.cache";
  return base + "/minder-tool";
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

// Fetches pkg into the cache directory dir (once), unpacking what is wanted;
// then finish runs in the new directory before it takes its place.
bool fetch_deb(const std::string& pkg, const std::vector<deb_want>& wants, const std::string& dir,
               bool (*finish)(const rehearsal&, const std::string&), const rehearsal& r,
               std::string* why) {
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
  ok = ok && unpack_wanted(tmp + "/" + deb, wants, tmp, why) && (!finish || finish(r, tmp));
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
  deb_want busybox{{"busybox"}, r.b.id, true, "busybox"};
  if (!fetch_deb(pkg, {busybox}, dir, list_applets, r, why)) {
    // Fetched but without it: no architecture to add helps.
    if (why->find(" holds no ") != std::string::npos)
      *why = "Debian's " + pkg + ": " + *why + ": give --root ROOTFS";
    else
      *why = "cannot fetch Debian's " + pkg + " (" + *why + "): give --root ROOTFS, or as root " +
             "run \"dpkg --add-architecture " + r.arch + " && apt-get update\"";
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

namespace {

elf_id host_id() {
  utsname u;
  uname(&u);
  if (strcmp(u.machine, "aarch64") == 0) return elf_id{2, 1, 183};
  return elf_id{2, 1, 62};
}

// The emulator named on PATH, when it is static: a dynamic one cannot start
// inside the board's root.
std::string on_path(const deb_want& w) {
  for (const std::string& name : w.names) {
    std::string file = find_program(name), why;
    std::vector<unsigned char> image;
    if (!file.empty() && read_whole(file, &image, &why) && deb_fits(image.data(), image.size(), w))
      return file;
  }
  return "";
}

}  // namespace

bool find_qemu(rehearsal& r, std::string* why) {
  std::string base = r.b.id.machine == 183 ? "qemu-aarch64" : "qemu-arm";
  deb_want qemu{{base + "-static", base}, host_id(), true, base + "-static"};
  r.qemu = on_path(qemu);
  if (!r.qemu.empty()) return true;
  // Debian 12 has it in qemu-user-static; Debian 13 in qemu-user, which
  // qemu-user-static only links to.
  std::string dir = cache_dir() + "/" + base + "-static", first, second;
  if (!fetch_deb("qemu-user-static", {qemu}, dir, nullptr, r, &first) &&
      !fetch_deb("qemu-user", {qemu}, dir, nullptr, r, &second)) {
    *why = "no static " + base + "-static or " + base +
           " on PATH, and Debian's packages lack it (" + first + "; " + second +
           "): install qemu-user-static";
    return false;
  }
  r.qemu = dir + "/" + qemu.save_as;
  return true;
}
