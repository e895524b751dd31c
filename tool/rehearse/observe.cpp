// SPDX-License-Identifier: MIT
// What the rehearsal sees of the daemon's children: every program executed in
// PID 1's namespace is first reported to PID 1 (a seccomp filter that notifies
// execve and execveat), which reads the path and the arguments from the
// process's memory and lets the exec go on. So even a child that ends at once
// is seen with the arguments it was given.
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "common.hpp"
#include "rehearsal.hpp"

#if defined(__x86_64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "the rehearsal watches execs on x86-64 and 64-bit ARM hosts"
#endif

int listen_to_execs() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, HOST_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return static_cast<int>(
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog));
}

namespace {

// The NUL-terminated string at addr in the memory mem, at most 64 KiB.
bool string_at(int mem, uint64_t addr, std::string* out) {
  char buf[256];
  out->clear();
  while (out->size() < 65536) {
    ssize_t n = pread(mem, buf, sizeof buf, static_cast<off_t>(addr + out->size()));
    if (n <= 0) return false;
    size_t len = strnlen(buf, static_cast<size_t>(n));
    out->append(buf, len);
    if (len < static_cast<size_t>(n)) return true;
  }
  return false;
}

bool read_exec(int mem, uint64_t path, uint64_t argv, exec_seen* e) {
  if (!string_at(mem, path, &e->path)) return false;
  for (int i = 0; i < 64; ++i) {
    uint64_t at = 0;
    if (pread(mem, &at, sizeof(uintptr_t), static_cast<off_t>(argv + i * sizeof(uintptr_t))) !=
        sizeof(uintptr_t))
      return false;
    if (!at) return true;
    e->argv.emplace_back();
    if (!string_at(mem, at, &e->argv.back())) return false;
  }
  return true;
}

}  // namespace

bool next_exec(int listener, const std::string& proc, exec_seen* e) {
  seccomp_notif req;
  memset(&req, 0, sizeof req);
  if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) return false;
  e->pid = static_cast<int>(req.pid);
  e->path.clear();
  e->argv.clear();
  bool at = req.data.nr == __NR_execveat;
  unique_fd mem(
      open((proc + "/" + std::to_string(req.pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  bool read = mem.get() >= 0 &&
              read_exec(mem.get(), req.data.args[at ? 1 : 0], req.data.args[at ? 2 : 1], e);
  seccomp_notif_resp resp;
  memset(&resp, 0, sizeof resp);
  resp.id = req.id;
  resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
  ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
  return read;
}

bool child_of_exec(const exec_seen& e, const std::vector<std::string>& names, child_start* s) {
  bool from_data = e.path.compare(0, 9, "../data//") == 0;
  std::string name = from_data ? e.path.substr(9) : e.path;
  if (std::find(names.begin(), names.end(), name) == names.end()) return false;
  s->child = name;
  s->from_data = from_data;
  s->args.assign(e.argv.empty() ? e.argv.end() : e.argv.begin() + 1, e.argv.end());
  return true;
}

int parent_of(const std::string& proc, int pid) {
  std::string stat, why;
  if (!read_text(proc + "/" + std::to_string(pid) + "/stat", &stat, &why)) return 0;
  size_t close = stat.rfind(')');  // the name before it may hold anything
  if (close == std::string::npos || close + 4 >= stat.size()) return 0;
  return atoi(stat.c_str() + close + 4);  // ") S PPID"
}
