// SPDX-License-Identifier: MIT
// The rehearsal's namespaces. The tool forks PID 1 of new user, mount and PID
// namespaces (the caller's user is root there); PID 1 watches the phases,
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
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common.hpp"
#include "rehearsal.hpp"

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

// PID 1: waits for its user to be mapped, then runs the phases. It dies with
// the tool, even of SIGKILL.
[[noreturn]] void pid1(const rehearsal& r, int ready) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  char go = 0;
  if (read(ready, &go, 1) != 1) _exit(2);
  close(ready);
  int status = run_phases(r);
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
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return setup_error("pipe: %s", strerror(errno));
  fflush(stdout);
  fflush(stderr);
  // A fork that is PID 1 of the new namespaces (no stack given: like fork).
  // As root where user namespaces are refused (a chroot, some containers),
  // mount and PID namespaces alone.
  const long flags = CLONE_NEWNS | CLONE_NEWPID | SIGCHLD;
  bool users = true;
  long pid = syscall(SYS_clone, CLONE_NEWUSER | flags, nullptr, nullptr, nullptr, nullptr);
  if (pid < 0 && r.as_root && (errno == EPERM || errno == EINVAL || errno == ENOSPC)) {
    users = false;
    pid = syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr);
  }
  if (pid == 0) {
    close(ready[1]);
    rehearsal watched = r;
    watched.as_root = r.as_root && users;  // else the board's users are the machine's
    pid1(watched, ready[0]);
  }
  int err = errno;
  close(ready[0]);
  if (pid < 0) {
    close(ready[1]);
    if (r.as_root) return setup_error("cannot create mount and PID namespaces (%s)", strerror(err));
    return setup_error(
        "cannot create a user namespace (%s): allow unprivileged user namespaces "
        "(sysctl kernel.unprivileged_userns_clone=1, or "
        "kernel.apparmor_restrict_unprivileged_userns=0), or run as root",
        strerror(err));
  }
  std::string why;
  if (users && !write_maps(static_cast<pid_t>(pid), &why)) {
    close(ready[1]);
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
    return setup_error("cannot map the user into the rehearsal's namespace (%s)%s", why.c_str(),
                       r.as_root ? "" : ": run as root");
  }
  if (write(ready[1], "g", 1) != 1) kill(static_cast<pid_t>(pid), SIGKILL);
  close(ready[1]);
  return wait_pid1(static_cast<pid_t>(pid));
}
