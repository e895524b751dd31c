// SPDX-License-Identifier: MIT
// The rehearsal's namespaces. The tool forks PID 1 of new user, mount and PID
// namespaces (the caller's user is root there; as root, PID 1 enters the
// user namespace itself, where one is allowed); PID 1 watches the phases,
// each on a board of namespaces of its own (sandbox.hpp). When
// PID 1 ends, the kernel kills every process of its namespace, and its mounts
// vanish with it: nothing the rehearsal started outlives it.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"

int setup_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("minder-tool: rehearse: ", stderr);
  vfprintf(stderr, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
  fputc('\n', stderr);
  va_end(ap);
  return 2;
}

namespace {

volatile sig_atomic_t interrupted = 0;

void on_signal(int sig) {
  interrupted = sig;
}

bool write_proc(pid_t pid, const char* file, const std::string& text, std::string* why) {
  std::string path = "/proc/" + std::to_string(pid) + "/" + file;
  unique_fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() >= 0 && write(fd.get(), text.data(), text.size()) == ssize_t(text.size()))
    return true;
  *why = path + ": " + strerror(errno);
  return false;
}

// The caller's user and group are root in the namespace. Root maps every
// user, so that files of the board's root owned by others stay theirs.
bool write_maps(pid_t pid, std::string* why) {
  if (geteuid() == 0)
    return write_proc(pid, "uid_map", "0 0 4294967295\n", why) &&
           write_proc(pid, "gid_map", "0 0 4294967295\n", why);
  return write_proc(pid, "uid_map", "0 " + std::to_string(geteuid()) + " 1\n", why) &&
         write_proc(pid, "setgroups", "deny", why) &&
         write_proc(pid, "gid_map", "0 " + std::to_string(getegid()) + " 1\n", why);
}

// PID 1: its /proc mounted and its user mapped, runs the phases. As root
// it mounts /proc before it enters a user namespace of its own (which a
// container's covered /proc would forbid after) and tells the tool whether
// it could ('u') or not ('n'). It dies with the tool, even of SIGKILL.
[[noreturn]] void pid1(const rehearsal& r, int go, int asked) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  rehearsal watched = r;
  std::string why;
  bool proc = !r.as_root || mount_watcher_proc(r, &why);
  if (r.as_root && proc && !r.rootfs.empty()) idmap_root(r);
  if (r.as_root) {
    // Where user namespaces are refused, the board's users are the machine's.
    watched.as_root = proc && unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0;
    if (!watched.as_root && umount2((r.work + "/lower").c_str(), MNT_DETACH) == 0)
      rmdir((r.work + "/lower").c_str());
    if (write(asked, watched.as_root ? "u" : "n", 1) != 1) _exit(2);
  }
  char c = 0;
  if (read(go, &c, 1) != 1) _exit(2);
  close(go);
  if (!r.as_root) proc = mount_watcher_proc(r, &why);
  int status = proc ? run_phases(watched) : setup_error("%s", why.c_str());
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

int wait_pid1(pid_t pid) {
  struct sigaction sa = {}, old[3];
  sa.sa_handler = on_signal;  // no SA_RESTART: waitpid returns
  const int sigs[] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i) sigaction(sigs[i], &sa, &old[i]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) break;
    if (interrupted) kill(pid, SIGKILL);
  }
  for (int i = 0; i < 3; ++i) sigaction(sigs[i], &old[i], nullptr);
  if (interrupted) {
    fprintf(stderr, "\nminder-tool: rehearse: interrupted; nothing of it runs any more\n");
    return 130;
  }
  if (WIFSIGNALED(status))
    return setup_error("the rehearsal's PID 1 died of signal %d", WTERMSIG(status));
  return WEXITSTATUS(status);
}

}  // namespace

int run_namespace(const rehearsal& r) {
  int go[2] = {-1, -1}, asked[2] = {-1, -1};
  bool piped = pipe2(go, O_CLOEXEC) == 0 && pipe2(asked, O_CLOEXEC) == 0;
  unique_fd go_read(go[0]), go_write(go[1]), asked_read(asked[0]), asked_write(asked[1]);
  if (!piped) return setup_error("pipe: %s", strerror(errno));
  fflush(stdout);
  fflush(stderr);
  // A fork that is PID 1 of the new namespaces (no stack given: like fork).
  // As root it enters its user namespace itself, after mounting its /proc.
  long flags = CLONE_NEWNS | CLONE_NEWPID | SIGCHLD | (r.as_root ? 0 : CLONE_NEWUSER);
  long pid = syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr);
  if (pid == 0) pid1(r, go_read.get(), asked_write.get());
  int err = errno;
  if (pid < 0 && r.as_root)
    return setup_error("cannot create mount and PID namespaces (%s)", strerror(err));
  if (pid < 0)
    return setup_error(
        "cannot create a user namespace (%s): allow unprivileged user namespaces "
        "(sysctl kernel.unprivileged_userns_clone=1, or "
        "kernel.apparmor_restrict_unprivileged_userns=0), or run as root",
        strerror(err));
  close(asked_write.release());
  char users = 'u';
  std::string why;
  if ((r.as_root && read(asked_read.get(), &users, 1) != 1) ||
      (users == 'u' && !write_maps(static_cast<pid_t>(pid), &why))) {
    kill(static_cast<pid_t>(pid), SIGKILL);
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
    return setup_error("cannot map the user into the rehearsal's namespace (%s)%s", why.c_str(),
                       r.as_root ? "" : ": run as root");
  }
  if (write(go_write.get(), "g", 1) != 1) kill(static_cast<pid_t>(pid), SIGKILL);
  close(go_write.release());
  return wait_pid1(static_cast<pid_t>(pid));
}
