// SPDX-License-Identifier: MIT
// In PID 1 of the rehearsal: the emulator registered with a binfmt_misc of
// the namespace's own, and the board's root assembled from mounts that live
// and die with the mount namespace.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"

namespace {

// The first 20 bytes of a board's program (executable or PIE) as binfmt_misc
// matches them, or their mask: ELF, class, byte order, version, type, machine.
std::string elf_magic(const elf_id& id, bool mask) {
  std::string m(20, '\0');
  if (mask) {
    m.assign(20, '\xff');
    m[7] = 0;        // any OS ABI
    m[16] = '\xfe';  // ET_EXEC or ET_DYN
    return m;
  }
  m.replace(0, 4,
            "\x7f"
            "ELF",
            4);
  m[4] = static_cast<char>(id.cls);
  m[5] = static_cast<char>(id.data);
  m[6] = 1;
  m[16] = 2;
  m[18] = static_cast<char>(id.machine & 0xff);
  m[19] = static_cast<char>(id.machine >> 8);
  return m;
}

// Bytes as binfmt_misc's register file takes them, or as its entries show them.
std::string hex(const std::string& bytes, bool escaped) {
  std::string text;
  for (unsigned char c : bytes) {
    char h[8];
    snprintf(h, sizeof h, escaped ? "\\x%02x" : "%02x", c);
    text += h;
  }
  return text;
}

// The value of the line "key VALUE" of an entry, or "".
std::string field(const std::string& text, const std::string& key) {
  size_t at = text.find("\n" + key);
  if (at == std::string::npos) return "";
  at += 1 + key.size();
  return text.substr(at, text.find('\n', at) - at);
}

// The byte at hex digit i of text; -1 when there is none.
long byte_at(const std::string& text, size_t i) {
  if (i + 1 >= text.size() || !isxdigit(text[i]) || !isxdigit(text[i + 1])) return -1;
  char two[3] = {text[i], text[i + 1], '\0'};
  return strtol(two, nullptr, 16);
}

}  // namespace

bool binfmt_matches(const std::string& magic, const std::string& mask, const elf_id& id) {
  std::string ours = hex(elf_magic(id, false), false);
  if (magic.empty() || magic.size() > ours.size()) return false;
  for (size_t i = 0; i < magic.size(); i += 2) {
    long m = mask.empty() ? 0xff : byte_at(mask, i), want = byte_at(magic, i);
    if (m < 0 || want < 0 || (byte_at(ours, i) & m) != (want & m)) return false;
  }
  return true;
}

namespace {

// An entry of the machine's binfmt_misc that runs the board's programs with
// the F flag (the emulator opened at registration, so that it works in a chroot).
bool machine_entry(const rehearsal& r) {
  const char* dir = "/proc/sys/fs/binfmt_misc";
  std::unique_ptr<DIR, dir_closer> d(opendir(dir));
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string text, why;
    if (e->d_name[0] == '.' || !read_text(std::string(dir) + "/" + e->d_name, &text, &why) ||
        text.compare(0, 7, "enabled") != 0 || field(text, "offset ") != "0")
      continue;
    std::string flags = field(text, "flags: ");
    if (flags.find('F') == std::string::npos ||
        !binfmt_matches(field(text, "magic "), field(text, "mask "), r.b.id))
      continue;
    return true;
  }
  return false;
}

bool fail(std::string* why, const std::string& what) {
  *why = what + ": " + strerror(errno);
  return false;
}

// Whether this process is in the machine's own user namespace, whose
// binfmt_misc is the machine's: nothing of the rehearsal is registered there.
bool machines_users() {
  constexpr ino_t kInitialUsers = 0xEFFFFFFDU;  // the kernel's fixed number for it
  struct stat st;
  return stat("/proc/self/ns/user", &st) == 0 && st.st_ino == kInitialUsers;
}

bool register_emulator(const rehearsal& r, std::string* why) {
  std::string mnt = r.work + "/binfmt";
  if (mkdir(mnt.c_str(), 0700) != 0) return fail(why, mnt);
  if (machines_users() || mount("binfmt_misc", mnt.c_str(), "binfmt_misc", 0, nullptr) != 0) {
    rmdir(mnt.c_str());
    if (r.qemu.empty() || machine_entry(r)) return true;
    *why = std::string("this kernel has no binfmt_misc of a namespace's own (Linux 6.7 or ") +
           "later) and the machine has no entry with the F flag for " + elf_name(r.b.id) +
           " programs: install qemu-user-static, whose entries have it";
    return false;
  }
  if (r.qemu.empty()) return true;  // native: the machine's entries do not apply here
  std::string line = ":minder-rehearse:M::" + hex(elf_magic(r.b.id, false), true) + ":" +
                     hex(elf_magic(r.b.id, true), true) + ":" + r.qemu + ":OPF";
  unique_fd reg(open((mnt + "/register").c_str(), O_WRONLY | O_CLOEXEC));
  if (reg.get() < 0 || write(reg.get(), line.data(), line.size()) != ssize_t(line.size()))
    return fail(why, mnt + "/register (" + r.qemu + ")");
  return true;
}

// The board's root: the BusyBox root as built, or the integrator's under an
// overlay whose changes go to work/upper.
bool mount_root(const rehearsal& r, std::string* why) {
  if (r.rootfs.empty()) return true;
  std::string upper = r.work + "/upper", ovl = r.work + "/overlay-work";
  for (const std::string& d : {upper, ovl, r.root})
    if (mkdir(d.c_str(), 0755) != 0) return fail(why, d);
  if (r.as_root && !shift_owners(upper, why)) return false;
  // The root idmapped for the board's users, where PID 1 could make it so.
  struct stat st;
  std::string lower = lstat((r.work + "/lower").c_str(), &st) == 0 ? r.work + "/lower" : r.rootfs;
  std::string opts = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + ovl;
  if (mount("overlay", r.root.c_str(), "overlay", 0, opts.c_str()) != 0)
    return fail(why, "an overlay over " + r.rootfs);
  return true;
}

bool bind_mount(const std::string& from, const std::string& to, std::string* why) {
  if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0) return true;
  return fail(why, "bind " + from + " on " + to);
}

// A /dev of the board's few everyday devices, the host's own bound in.
bool mount_dev(const rehearsal& r, std::string* why) {
  std::string dev = r.root + "/dev";
  if (!make_dirs(dev, why)) return false;
  if (mount("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755") != 0)
    return fail(why, dev);
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string node = dev + "/" + name;
    if (!write_text(node, "", 0666, why) || !bind_mount(std::string("/dev/") + name, node, why))
      return false;
  }
  const char* links[][2] = {{"/proc/self/fd", "fd"},
                            {"/proc/self/fd/0", "stdin"},
                            {"/proc/self/fd/1", "stdout"},
                            {"/proc/self/fd/2", "stderr"}};
  for (auto& l : links)
    if (symlink(l[0], (dev + "/" + l[1]).c_str()) != 0) return fail(why, dev + "/" + l[1]);
  std::string shm = dev + "/shm";
  if (mkdir(shm.c_str(), 01777) != 0 ||
      mount("tmpfs", shm.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
    return fail(why, shm);
  return true;
}

}  // namespace

bool prepare_root(const rehearsal& r, std::string* why) {
  // Nothing mounted here reaches the host's mount namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail(why, "private mounts");
  if (!register_emulator(r, why) || !mount_root(r, why)) return false;
  std::string prog = r.root + r.prog;
  if (!make_dirs(prog, why) || !bind_mount(r.work + "/prog", prog, why) || !mount_dev(r, why) ||
      !make_dirs(r.root + "/proc", why) || !make_dirs(r.root + "/tmp", why))
    return false;
  // The program directory's parent, where minder makes ../data/, is the board's.
  if (r.as_root && !shift_owners(r.root + dir_of(r.prog), why)) return false;
  return true;
}

// The watcher's /proc lies outside the board's root: the board mounts its own.
bool mount_watcher_proc(const rehearsal& r, std::string* why) {
  std::string proc = watcher_proc(r);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail(why, "private mounts");
  if (!make_dirs(proc, why)) return false;
  if (mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0)
    return true;
  return fail(why, proc);
}

bool mount_tmp(const rehearsal& r, std::string* why) {
  std::string tmp = r.root + "/tmp";
  if (mount("tmpfs", tmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0) return true;
  return fail(why, tmp);
}

void unmount_tmp(const rehearsal& r) {
  umount2((r.root + "/tmp").c_str(), MNT_DETACH);
}
