// SPDX-License-Identifier: MIT
// Launching children and the supervision loop with its restart policy.
#pragma once

#include <sys/types.h>

#include "common.hpp"

// A child's argument vector, built before fork: the pointers refer to the
// caller's strings, to literals and to the code text held here.
struct child_args {
  char code[16];
  const char* argv[16];
};

void build_child_args(child_args& args, const char* path, const char* alive_path, int restart_code,
                      int debug, int data_mode);

void spawn_slot(supervisor_state& state, int index, int restart_code);
// The child's pid, or -1 when fork failed; does not return in the child.
pid_t launch_child(const char* path, const char* alive_path, int restart_code, int debug,
                   int data_mode);

// Seconds before an ordinary restart.
inline constexpr int kRestartDelay = 10;

// Messages on standard output. minder-tool reads them back with these texts.
inline constexpr char kMsgRestartNormal[] = "Will restart normal prog after %d secs\n";
inline constexpr char kMsgRestartSegv[] = "Will restart segv prog after %d secs\n";
inline constexpr char kMsgForkFailed[] = "failed to fork\n";
inline constexpr char kMsgExecFailed[] = "failed to exec %s, error is %s\n";  // by the child
inline constexpr char kMsgNoSuchPid[] = "No such pid(%d) for reexec\n";
inline constexpr char kMsgWaitpidFailed[] = "failed to waitpid\n";
// A failed cycle: with a boot-check record, which is removed, and without one.
inline constexpr char kMsgFallBack[] = "failed boot, then clean bootchk, and try again\n";
inline constexpr char kMsgNormalBootFailed[] = "failed for normal boot, exit\n";

// The child exit-code protocol (codes in common.hpp): what a child's end asks
// of the supervisor.
enum class end_action {
  restart,             // after kRestartDelay
  restart_after_segv,  // after segv_backoff
  fall_back,           // the cycle fails: boot fallback
  upgrade,             // install the package in mode `code`, then a new cycle
  new_cycle,
};

// A child's end as the wait status and the checker's mark tell it.
struct child_end {
  int code;    // exit status or signal number
  int exited;  // 1: exited; 0: killed by a signal
  int killed_by_checker;
};

struct end_decision {
  end_action action;
  int code;  // the restart code; for an exit, also the new last code
};

// The whole protocol in one place.
end_decision decide_end(const child_end& end);

void supervise(supervisor_state& state);
// Kills every process that bears a slot's name, and returns once the kill
// commands have ended: side by side, or one after the other when a name would
// hit their own processes.
void kill_all(supervisor_state& state);
// 0: start a new cycle; -1: the cycle failed.
int wait_children(supervisor_state& state, int& last_code);

// Splits a wait status into the exit status or the signal number.
void decode_wait_status(int status, int& code, int& exited);
// The slot of pid with its decoded end; proc_count when no slot has pid.
int decode_exit(pid_t pid, int status, const supervisor_state& state, int& code, int& exited);
// Delay in seconds before restarting a child that died of a segmentation fault.
unsigned segv_backoff(supervisor_state& state);
// The delay after the nth segmentation fault since minder started (n from 1).
unsigned segv_delay(uint32_t n);
