// SPDX-License-Identifier: MIT
// The board of one phase: a PID and mount namespace whose init has pivoted
// into the board's root, and, when the tool runs as root, a user namespace
// whose users are unprivileged users of the workstation.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "rehearsal.hpp"

// The workstation's user that is the board's root when the tool runs as
// root; the board's users 0-65535 are this one and the 65535 after it.
constexpr uid_t kBoardUsers = 0x6d690000;

struct board_ns {
  board_ns() = default;
  board_ns(const board_ns&) = delete;
  board_ns& operator=(const board_ns&) = delete;
  ~board_ns() {
    for (int fd : {pid_ns, mnt_ns, user_ns})
      if (fd >= 0) close(fd);
  }
  pid_t init = -1;  // the board's init, as the watcher numbers it
  bool own_users = false;
  int pid_ns = -1, mnt_ns = -1, user_ns = -1;
};

// Where PID 1 of the rehearsal, the watcher, has its /proc.
inline std::string watcher_proc(const rehearsal& r) {
  return r.work + "/proc";
}

// Maps the users of pid's user namespace (pid as the watcher numbers it) to
// the board's users, its root to kBoardUsers; false when it cannot.
bool map_board_users(const rehearsal& r, pid_t pid);

// Gives the files of tree to the board's users, as the board's root sees
// them: the workstation's root becomes kBoardUsers; false, and why, when
// one cannot be.
bool shift_owners(const std::string& tree, std::string* why);

// In PID 1 as root, before it enters a user namespace: the integrator's
// root idmapped at work/lower for the board's users; false when the kernel
// or the file system cannot (the root is then used as it is).
bool idmap_root(const rehearsal& r);

// Starts the board's init in the root as mounted now; false, and why, when
// it cannot.
bool start_board(const rehearsal& r, board_ns* b, std::string* why);

// Forks a child of the caller in the board (its PID namespace, its mounts
// and root, its users) that runs exec; its pid, or -1.
pid_t start_in_board(const board_ns& b, const std::function<void()>& exec);
