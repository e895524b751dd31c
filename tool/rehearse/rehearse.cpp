// SPDX-License-Identifier: MIT
// rehearse DIR [PACKAGE]: the upgrade tried on an emulated board, with the
// shipped daemon doing the work: first boot, the request, reboot.
#include "rehearse.hpp"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "common.hpp"
#include "leftovers.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"

namespace {

int host_machine() {
  utsname u;
  uname(&u);
  return strcmp(u.machine, "x86_64") == 0 ? 62 : strcmp(u.machine, "aarch64") == 0 ? 183 : 0;
}

// The oldest CPU qemu has of a 32-bit ARM baseline: from the daemon's build
// attributes, else from its float ABI (EF_ARM_ABI_FLOAT_HARD: Debian's armhf).
// An ARMv7 board built without Advanced SIMD has no NEON: qemu's cortex-a8
// has it unless told otherwise.
const char* arm_cpu_of(const arm_cpu& cpu, bool hard) {
  if (!cpu.known) return hard ? "cortex-a8" : "arm926";
  if (cpu.arch >= 10) return cpu.simd == 0 ? "cortex-a8,neon=off" : "cortex-a8";
  return cpu.arch >= 6 ? "arm1176" : "arm926";
}

// Debian's name for the board and the CPU to emulate.
const char* choose_arch(rehearsal& r, const std::vector<unsigned char>& image) {
  const elf_id& id = r.b.id;
  bool hard = r.b.cpu.known ? r.b.cpu.vfp_args == 1 : image.size() > 37 && (image[37] & 0x04);
  if (id == elf_id{1, 1, 40}) {
    r.arch = hard ? "armhf" : "armel";
    r.qemu_cpu = arm_cpu_of(r.b.cpu, hard);
  } else if (id == elf_id{2, 1, 183}) {
    r.arch = "arm64";
    r.qemu_cpu = "cortex-a53";
  } else if (id == elf_id{2, 1, 62}) {
    r.arch = "amd64";
  } else {
    return "rehearse emulates 32-bit ARM (armhf, armel) and 64-bit ARM boards and runs x86-64 "
           "ones natively";
  }
  if (id.machine == host_machine()) r.qemu_cpu.clear();
  return nullptr;
}

int choose_board(rehearsal& r, const options& opt) {
  report rep;
  options found = opt;  // the daemon is found also when --arch names the board
  found.arch = nullptr;
  find_board(rep, r.dir, r.children, found, &r.b);
  if (!r.b.known || r.b.daemon.empty())
    return setup_error("%s: no daemon binary found: name it with --daemon NAME", r.dir.c_str());
  std::string why, interp, path = r.dir + "/" + r.b.daemon;
  elf_id named;
  if (opt.arch && arch_by_name(opt.arch, &named, &r.b.cpu) && named != r.b.id)
    return setup_error("%s is built for %s, --arch says %s: the daemon cannot run there",
                       path.c_str(), elf_name(r.b.id).c_str(), opt.arch);
  std::vector<unsigned char> image;
  elf_id id;
  if (!read_whole(path, &image, &why) || !elf_parse(image.data(), image.size(), &id))
    return setup_error("%s: %s", path.c_str(), why.empty() ? "not an ELF program" : why.c_str());
  if (const char* no = choose_arch(r, image))
    return setup_error("%s: %s is %s", no, path.c_str(), elf_name(id).c_str());
  if (elf_interp(image.data(), image.size(), id, &interp) == kInterp &&
      !exists_in_root(r.rootfs.empty() ? "/nonexistent" : r.rootfs, interp))
    return setup_error(
        "%s is linked dynamically (%s), which the board's root lacks: give --root with the "
        "board's root file system, or ship the static board build (make board)",
        path.c_str(), interp.c_str());
  r.daemon = r.b.daemon;
  return 0;
}

// The integrator's root, and where the program directory is in it: where DIR
// lies when it is inside the root, else /opt/app/bin.
int choose_root(rehearsal& r, const options& opt) {
  r.prog = "/opt/app/bin";
  if (!opt.root) return 0;
  char root[PATH_MAX], dir[PATH_MAX];
  struct stat st;
  if (!realpath(opt.root, root) || stat(root, &st) != 0 || !S_ISDIR(st.st_mode))
    return setup_error("--root %s: not a directory: give the board's root file system", opt.root);
  if (strpbrk(root, ",:\\"))
    return setup_error("--root %s: a comma, colon or backslash in its path: link it elsewhere",
                       root);
  r.rootfs = root;
  if (!exists_in_root(r.rootfs, "/bin/sh"))
    return setup_error("--root %s has no /bin/sh, with which minder runs killall and tar",
                       opt.root);
  size_t n = strlen(root);
  if (realpath(r.dir.c_str(), dir) && strncmp(dir, root, n) == 0 && dir[n] == '/') r.prog = dir + n;
  return 0;
}

// The options that need nothing else looked at: --seconds, --keep.
int check_options(rehearsal& r, const options& opt) {
  struct stat st;
  if (opt.keep && lstat(opt.keep, &st) == 0)
    return setup_error("--keep %s: it exists: give a directory that does not exist yet", opt.keep);
  if (!opt.seconds) return 0;
  char* end = nullptr;
  long n = strtol(opt.seconds, &end, 10);
  if (*end || n < 1 || n > 86400)
    return setup_error("--seconds %s: give a whole number of seconds from 1 to 86400", opt.seconds);
  r.seconds[0] = r.seconds[1] = r.seconds[2] = static_cast<int>(n);
  return 0;
}

int make_work(rehearsal& r, const options& opt) {
  std::string dir;
  if (opt.keep) {
    dir = opt.keep;
    if (mkdir(dir.c_str(), 0700) != 0)
      return setup_error("--keep %s: %s: give a directory that does not exist yet", opt.keep,
                         strerror(errno));
  } else {
    const char* env = getenv("TMPDIR");
    std::string tmp = env && *env == '/' ? env : "/tmp", why;
    clear_leftovers(tmp);
    dir = tmp + "/" + kWorkPrefix + "XXXXXX";
    if (!mkdtemp(&dir[0])) return setup_error("%s: %s", dir.c_str(), strerror(errno));
    if (!mark_work(dir, &why)) {
      rmdir(dir.c_str());
      return setup_error("%s", why.c_str());
    }
  }
  char real[PATH_MAX];
  if (!realpath(dir.c_str(), real) || strpbrk(real, ",:\\")) {
    remove_tree(dir);
    return setup_error("%s: a comma, colon or backslash in its path: set TMPDIR", dir.c_str());
  }
  r.work = real;
  r.root = r.work + "/root";
  r.keep = opt.keep != nullptr;
  return 0;
}

// The emulator and the BusyBox, into the cache: before the rehearsal's own
// directory exists, so that a Ctrl-C during a download leaves none behind.
int fetch(rehearsal& r) {
  std::string why;
  if (!r.qemu_cpu.empty() && !find_qemu(r, &why)) return setup_error("%s", why.c_str());
  if (r.rootfs.empty() && !fetch_busybox(r, &why)) return setup_error("%s", why.c_str());
  return 0;
}

// The root and the copies, in the rehearsal's own directory.
int prepare(rehearsal& r) {
  std::string why;
  if (r.rootfs.empty() && !build_busybox_root(r, &why))
    return setup_error("the BusyBox root: %s", why.c_str());
  if (!copy_program_dir(r, &why) || (!r.package.empty() && !copy_package(r, &why)))
    return setup_error("the rehearsal's copies: %s", why.c_str());
  // As root the board's users are unprivileged ones: its files are theirs.
  // The rehearsal's directory itself and its mark stay the tool's.
  if (r.as_root &&
      (!shift_owners(r.work + "/prog", &why) || (r.rootfs.empty() && !shift_owners(r.root, &why))))
    return setup_error("%s", why.c_str());
  std::string list;
  for (const std::string& c : r.needs_root) list += (list.empty() ? "" : ", ") + c;
  if (!list.empty())
    return setup_error(
        "linked dynamically, and the BusyBox root has no C library: %s: give --root with the "
        "board's root file system",
        list.c_str());
  return 0;
}

void say_plan(const rehearsal& r) {
  std::string board = elf_name(r.b.id) + (r.b.cpu.known ? ", " + cpu_name(r.b.cpu) : "");
  printf("rehearse: %s/%s on a %s board (%s), %s, root %s, program directory %s\n", r.dir.c_str(),
         r.daemon.c_str(), board.c_str(), r.arch.c_str(),
         r.qemu_cpu.empty() ? "natively" : ("emulated CPU " + r.qemu_cpu).c_str(),
         r.rootfs.empty() ? ("Debian's busybox-static:" + r.arch).c_str() : r.rootfs.c_str(),
         r.prog.c_str());
  for (const standin& s : r.standins)
    printf("stand-in: %s: %s: %s: a script fails in its place as execv fails on the board\n",
           s.where.c_str(), s.name.c_str(), s.why.c_str());
  if (!r.package.empty())
    printf(
        "requester: in phase 2 %s is a script once that asks for %s (exit 130) and puts the "
        "program back\n",
        r.children[0].c_str(), r.package.c_str());
  for (const std::string& c : r.children)
    if (!r.qemu_cpu.empty() && c.size() >= 15)
      printf(
          "note: %s: under the emulator killall matches only its first 15 characters, so an "
          "instance of an earlier cycle may outlive a new one here, not on the board\n",
          c.c_str());
  for (const std::string& n : r.notes) printf("note: %s\n", n.c_str());
  fflush(stdout);
}

}  // namespace

int cmd_rehearse(const options& opt) {
  rehearsal r;
  r.as_root = geteuid() == 0;
  r.dir = opt.args[0];
  if (opt.args.size() > 1) r.package = opt.args[1];
  std::vector<bool> watched;
  if (!configured_children((r.dir + "/config").c_str(), &r.children, &watched))
    return setup_error("%s/config: the daemon cannot load it: run minder-tool check %s",
                       r.dir.c_str(), r.dir.c_str());
  for (size_t i = 0; i < watched.size(); ++i)
    if (watched[i]) r.watched.push_back(r.children[i]);
  std::string why;
  if (!r.package.empty() && unique_fd(open_input(r.package, &why)).get() < 0)
    return setup_error("%s: %s", r.package.c_str(), why.c_str());
  if (opt.svg) r.svg = opt.svg;
  if (int status = check_options(r, opt)) return status;
  if (int status = choose_root(r, opt)) return status;
  if (int status = choose_board(r, opt)) return status;
  if (int status = fetch(r)) return status;
  if (int status = make_work(r, opt)) return status;
  int status = prepare(r);
  if (status == 0) {
    say_plan(r);
    status = run_namespace(r);
  }
  if (r.keep)
    fprintf(stderr, "rehearse: the rehearsal's root and files stay in %s\n", r.work.c_str());
  else
    remove_tree(r.work);
  return status;
}
