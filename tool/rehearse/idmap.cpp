// SPDX-License-Identifier: MIT
// The integrator's root as the board's users see it, when the tool runs as
// root: an idmapped mount of it on which the workstation's user U shows as
// kBoardUsers + U, so that the board's root owns what root owns there and
// the overlay can copy any file up. The root itself is not changed.
#include <fcntl.h>
#include <linux/mount.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.hpp"
#include "sandbox.hpp"

namespace {

// A user namespace whose users 0-65535 are kBoardUsers on: a child enters
// one, is mapped, and its namespace is kept open.
int board_users_ns(const rehearsal& r) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  unique_fd hold(fds[0]), release(fds[1]);
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    if (unshare(CLONE_NEWUSER) != 0) _exit(1);
    close(release.release());
    _exit(read(hold.get(), &c, 1) < 0 ? 1 : 0);  // until the parent closes its end
  }
  if (pid < 0) return -1;
  std::string ns_user = watcher_proc(r) + "/" + std::to_string(pid) + "/ns/user";
  int ns = -1;
  // The child may not have entered its namespace yet: its map file shows it.
  for (int tries = 0; tries < 1000 && ns < 0; ++tries) {
    if (map_board_users(r, pid))
      ns = open(ns_user.c_str(), O_RDONLY | O_CLOEXEC);
    else
      usleep(1000);
  }
  close(release.release());
  waitpid(pid, nullptr, 0);
  return ns;
}

}  // namespace

bool idmap_root(const rehearsal& r) {
  std::string lower = r.work + "/lower";
  unique_fd ns(board_users_ns(r));
  unique_fd tree(static_cast<int>(
      syscall(SYS_open_tree, AT_FDCWD, r.rootfs.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC)));
  if (ns.get() < 0 || tree.get() < 0 || mkdir(lower.c_str(), 0755) != 0) return false;
  mount_attr attr;
  memset(&attr, 0, sizeof attr);
  attr.attr_set = MOUNT_ATTR_IDMAP;
  attr.userns_fd = static_cast<__u64>(ns.get());
  if (syscall(SYS_mount_setattr, tree.get(), "", AT_EMPTY_PATH, &attr, sizeof attr) == 0 &&
      syscall(SYS_move_mount, tree.get(), "", AT_FDCWD, lower.c_str(), MOVE_MOUNT_F_EMPTY_PATH) ==
          0)
    return true;
  rmdir(lower.c_str());
  return false;
}
