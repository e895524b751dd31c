// SPDX-License-Identifier: MIT
// The board's side of a phase, sealed from the workstation. PID 1 of the
// rehearsal watches from outside; the board is a PID namespace of its own
// whose init has pivoted into the board's root, so that no process there
// reaches a file of the workstation, not even through /proc/1/root. When the
// tool runs as root, the board's users are a range of unprivileged users of
// the workstation (kBoardUsers), so that even an escape could write nothing.
#include "sandbox.hpp"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.hpp"

namespace {

// Becomes root of the board's user namespace (a user of kBoardUsers).
// Stays readable for the watcher, as the change of users would not leave it.
bool become_board_root() {
  return setgroups(0, nullptr) == 0 && setresgid(0, 0, 0) == 0 && setresuid(0, 0, 0) == 0 &&
         prctl(PR_SET_DUMPABLE, 1) == 0;
}

// What the board's init tells the watcher: 0 when it is in the root, else
// the step that failed and its errno.
struct init_said {
  int step = -1, err = 0;
};
const char* const kSteps[] = {"", "its users", "private mounts", "bind", "its /proc", "pivot_root"};

// The board's init: pivots into the root, mounts the board's /proc, says so
// on ready and then only reaps, until the phase kills it.
[[noreturn]] void board_init(const rehearsal& r, bool own_users, int go, int ready) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  char c = 0;
  init_said said;
  std::string proc = r.root + "/proc";
  if (read(go, &c, 1) != 1) _exit(1);
  // Still the tool's user until it is in the root, whose way in is the tool's.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    said.step = 2;
  else if (mount(r.root.c_str(), r.root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    said.step = 3;
  else if (mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    said.step = 4;
  else if (chdir(r.root.c_str()) != 0 || syscall(SYS_pivot_root, ".", ".") != 0 ||
           umount2(".", MNT_DETACH) != 0 || chdir("/") != 0)
    said.step = 5;
  else
    said.step = own_users && !become_board_root() ? 1 : 0;
  said.err = errno;
  if (write(ready, &said, sizeof said) != sizeof said || said.step) _exit(1);
  close(ready);
  for (;;)
    if (wait(nullptr) < 0 && errno == ECHILD) pause();
}

bool write_file(const std::string& path, const std::string& text) {
  unique_fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return fd.get() >= 0 && write(fd.get(), text.data(), text.size()) == ssize_t(text.size());
}

int shift_one(const char* path, const struct stat* st, int, FTW*) {
  if (st->st_uid >= 65536 || st->st_gid >= 65536) return 0;  // the board's already
  return lchown(path, kBoardUsers + st->st_uid, kBoardUsers + st->st_gid);
}

}  // namespace

bool map_board_users(const rehearsal& r, pid_t pid) {
  std::string base = watcher_proc(r) + "/" + std::to_string(pid) + "/",
              map = "0 " + std::to_string(kBoardUsers) + " 65536\n";
  return write_file(base + "uid_map", map) && write_file(base + "gid_map", map);
}

bool shift_owners(const std::string& tree, std::string* why) {
  if (nftw(tree.c_str(), shift_one, 16, FTW_PHYS | FTW_MOUNT) == 0) return true;
  *why = tree + ": cannot give it to the board's users: " + strerror(errno);
  return false;
}

bool start_board(const rehearsal& r, board_ns* b, std::string* why) {
  int go[2] = {-1, -1}, ready[2] = {-1, -1};
  bool piped = pipe2(go, O_CLOEXEC) == 0 && pipe2(ready, O_CLOEXEC) == 0;
  unique_fd go_read(go[0]), go_write(go[1]), ready_read(ready[0]), ready_write(ready[1]);
  if (!piped) {
    *why = std::string("pipe: ") + strerror(errno);
    return false;
  }
  // As root the board has users of its own; where user namespaces are
  // refused, its root is the workstation's, still sealed in the board's root.
  bool own_users = r.as_root;
  long flags = CLONE_NEWNS | CLONE_NEWPID | SIGCHLD;
  long pid = syscall(SYS_clone, flags | (own_users ? CLONE_NEWUSER : 0), nullptr, nullptr, nullptr,
                     nullptr);
  if (pid < 0 && own_users && (errno == EPERM || errno == EINVAL || errno == ENOSPC)) {
    own_users = false;
    pid = syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr);
  }
  if (pid == 0) board_init(r, own_users, go_read.get(), ready_write.get());
  if (pid < 0) {
    *why = std::string("the board's namespaces: ") + strerror(errno);
    return false;
  }
  b->init = static_cast<pid_t>(pid);
  close(ready_write.release());
  init_said said;
  if ((own_users && !map_board_users(r, b->init)) || write(go_write.get(), "g", 1) != 1 ||
      read(ready_read.get(), &said, sizeof said) != sizeof said || said.step != 0) {
    *why = "the board's init could not enter " + r.root;
    if (said.step > 0) *why += std::string(": ") + kSteps[said.step] + ": " + strerror(said.err);
    return false;
  }
  std::string ns = watcher_proc(r) + "/" + std::to_string(pid) + "/ns/";
  b->own_users = own_users;
  b->pid_ns = open((ns + "pid").c_str(), O_RDONLY | O_CLOEXEC);
  b->mnt_ns = open((ns + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
  if (own_users) b->user_ns = open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC);
  if (b->pid_ns >= 0 && b->mnt_ns >= 0 && (!own_users || b->user_ns >= 0)) return true;
  *why = ns + ": " + strerror(errno);
  return false;
}

// A helper in the watcher's namespaces joins the board's PID namespace and
// forks the program as a child of the watcher (CLONE_PARENT), so that the
// watcher reaps it; the program then enters the board's mounts and users.
pid_t start_in_board(const board_ns& b, const std::function<void()>& exec) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  unique_fd pid_read(fds[0]), pid_write(fds[1]);
  pid_t helper = fork();
  if (helper == 0) {
    if (setns(b.pid_ns, CLONE_NEWPID) != 0) _exit(1);
    long pid = syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (pid > 0) {
      pid_t p = static_cast<pid_t>(pid);  // as the watcher numbers it
      _exit(write(pid_write.get(), &p, sizeof p) == sizeof p ? 0 : 1);
    }
    if (pid < 0 || setns(b.mnt_ns, CLONE_NEWNS) != 0 ||
        (b.own_users && (setns(b.user_ns, CLONE_NEWUSER) != 0 || !become_board_root())))
      _exit(127);
    exec();
    _exit(127);
  }
  close(pid_write.release());
  pid_t pid = -1;
  if (helper < 0 || read(pid_read.get(), &pid, sizeof pid) != sizeof pid) pid = -1;
  while (helper > 0 && waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }
  return pid;
}
