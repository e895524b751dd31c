// SPDX-License-Identifier: MIT
// Shared declarations: the supervisor's state record, its fixed directories and
// the small helpers that several parts of the daemon use.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr char kStateDir[] = "/tmp/.uci/";
inline constexpr char kDataDir[] = "../data/";
// The version text that boot-check records carry and are compared with: fixed
// by the record format, whatever the release (MINDER_VERSION).
inline constexpr char kVersion[] = "1.0.12.3";
inline constexpr int kMaxSlots = 4;
inline constexpr int kPathSize = 4096;      // names, paths, the working directory
inline constexpr int kDataPathSize = 8192;  // data-directory paths and kill commands

// The child exit-code protocol. Exit statuses a child uses as requests:
inline constexpr int kExitCannotStart = 129;  // also how a failed execv ends
inline constexpr int kExitUnpackPackage = 130;
inline constexpr int kExitInstallBlob = 131;
inline constexpr int kExitRecordVersion = 132;
inline constexpr int kExitNewCycle = 160;
// Signals with a meaning of their own, and the restart code after a kill by
// the liveness checker.
inline constexpr int kSignalSegv = 11;
inline constexpr int kSignalKill = 9;
inline constexpr int kCodeHeartbeatKill = 199;

// Fields marked shared are also used by the liveness checker thread.
struct proc_slot {
  char name[kPathSize];
  char alive_path[kPathSize];  // empty: no heartbeat checking
  std::atomic<uint32_t> miss_count;
  std::atomic<int32_t> killed_by_checker;
  std::atomic<int32_t> pid;  // 0: none; negative: the launch failed
};

struct supervisor_state {
  char run_path[kPathSize];
  int32_t debug_flag;
  int32_t data_mode;
  std::atomic<int32_t> run_fd;
  int32_t proc_count;
  proc_slot slots[kMaxSlots];
  uint32_t segv_restarts;
};

// Slots in use: every walk of the table stops here.
inline int slot_limit(const supervisor_state& s) {
  return s.proc_count < kMaxSlots ? s.proc_count : kMaxSlots;
}

// Owns a descriptor; closes it when it goes out of scope.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd();
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Closes every descriptor from first_fd (3 when below 1) up to the open-file
// limit. Async-signal-safe: children call it between fork and exec.
void close_inherited_fds(int first_fd);

// The same through a walk of /proc/self/fd; false when that is unavailable.
bool close_listed_fds(int first_fd, long limit);

// Opens path to read, following links but never blocking on it (a FIFO, a
// device), and keeps it only when it is a regular file, whose size goes to
// *size when size is given. The descriptor (close-on-exec), or -1.
int open_regular(const char* path, off_t* size = nullptr);

// Writes all len bytes, completing short writes; 0 or -1.
int write_all(int fd, const void* data, size_t len);
// Reads exactly len bytes; -1 on an error or an end of file before them.
int read_all(int fd, void* data, size_t len);

// "killall -9 NAME >/dev/null 2>&1" with NAME quoted for the shell; -1 when
// the quoted command does not fit.
int build_kill_command(char* buf, size_t size, const char* name);

// Starts cmd with /bin/sh -c: the shell's pid, or -1 when no shell could be
// started. Unlike system(), it leaves the process's signal dispositions
// alone, so a child forked meanwhile by another thread does not inherit
// SIGINT and SIGQUIT ignored. With input 0 or more, the shell reads its
// standard input from that descriptor instead of the daemon's.
pid_t start_shell(const char* cmd, int input = -1);

// Waits for a shell from start_shell: its wait status, or -1 when pid is
// negative or the shell was collected by another wait.
int wait_shell(pid_t pid);

// start_shell, then wait_shell.
int run_shell(const char* cmd, int input = -1);

// Kills every process named name (result ignored).
void kill_by_name(const char* name);

// Whether a kill of name may also hit the processes of the kill commands
// themselves (the shell, killall, or BusyBox behind both); such kills must
// not run beside each other.
bool kill_hits_own_tools(const char* name);

// The last component of path (POSIX basename, without changing path): its
// start, and its length in *len.
const char* base_name(const char* path, size_t* len);

// The directory part of path (POSIX dirname) into out; -1 when it does not fit.
int dir_name(const char* path, char* out, size_t size);
