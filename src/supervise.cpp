// SPDX-License-Identifier: MIT
#include "supervise.hpp"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runfile.hpp"
#include "upgrade.hpp"

namespace {

// Sleeps before a restart, as the way the child ended asks.
void restart_delay(supervisor_state& state, end_action action) {
  if (action == end_action::restart) {
    printf(kMsgRestartNormal, kRestartDelay);
    sleep(kRestartDelay);
    return;
  }
  int secs = static_cast<int>(segv_backoff(state));
  printf(kMsgRestartSegv, secs);
  sleep(static_cast<unsigned>(secs));
}

// Waits for the next end of a slot's child; ends of other processes are
// reported and passed over. The slot, or -1 when waiting failed.
int collect_end(const supervisor_state& state, child_end& end) {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) {
      printf(kMsgWaitpidFailed);
      return -1;
    }
    int i = decode_exit(pid, status, state, end.code, end.exited);
    if (i < state.proc_count && i < kMaxSlots) return i;
  }
}

void wait_shells(const pid_t* shells, int n) {
  for (int k = 0; k < n; ++k) wait_shell(shells[k]);
}

}  // namespace

end_decision decide_end(const child_end& end) {
  int code = end.code;
  if (code == kSignalKill && end.killed_by_checker) code = kCodeHeartbeatKill;
  if (!end.exited)
    return {code == kSignalSegv ? end_action::restart_after_segv : end_action::restart, code};
  switch (code) {
    case kExitCannotStart:
      return {end_action::fall_back, code};
    case kExitUnpackPackage:
    case kExitInstallBlob:
    case kExitRecordVersion:
      return {end_action::upgrade, code};
    case kExitNewCycle:
      return {end_action::new_cycle, code};
    default:
      return {end_action::restart, code};
  }
}

void build_child_args(child_args& args, const char* path, const char* alive_path, int restart_code,
                      int debug, int data_mode) {
  int n = 0;
  memset(args.argv, 0, sizeof args.argv);
  args.argv[n++] = path;
  if (restart_code != 0) {
    snprintf(args.code, sizeof args.code, "%d", restart_code);
    args.argv[n++] = "-r";
    args.argv[n++] = args.code;
  }
  if (debug == 1) args.argv[n++] = "-d";
  if (alive_path[0] != '\0') {
    args.argv[n++] = "-A";
    args.argv[n++] = alive_path;
  }
  if (data_mode == 1) {
    static const char* const data_args[] = {"-T", kStateDir, "-D", kDataDir, "-O", "PELTRO_KQ21"};
    for (const char* arg : data_args) args.argv[n++] = arg;
  }
}

pid_t launch_child(const char* path, const char* alive_path, int restart_code, int debug,
                   int data_mode) {
  child_args args;
  build_child_args(args, path, alive_path, restart_code, debug, data_mode);
  fflush(stdout);  // a child that fails to exec must not print our lines again
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    printf(kMsgForkFailed);
    return -1;
  }
  if (pid > 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) raise(SIGTERM);  // the parent died before the request took hold
  close_inherited_fds(3);
  execv(path, const_cast<char* const*>(args.argv));
  printf(kMsgExecFailed, path, strerror(errno));
  fflush(stdout);
  _exit(kExitCannotStart);  // the parent's exit handlers are not the child's to run
}

void spawn_slot(supervisor_state& state, int index, int restart_code) {
  proc_slot& slot = state.slots[index];
  char path[kDataPathSize];
  int data_mode = state.data_mode == 1 ? 1 : 0;
  if (data_mode)
    snprintf(path, sizeof path, "%s/%s", kDataDir, slot.name);
  else
    snprintf(path, kPathSize, "%s", slot.name);
  pid_t pid = launch_child(path, slot.alive_path, restart_code, state.debug_flag, data_mode);
  slot.pid.store(pid, std::memory_order_release);
}

// A command that cannot be started beside the others (a process limit) runs
// alone once those started have ended, as every command does when they must
// not run together.
void kill_all(supervisor_state& state) {
  bool together = true;
  for (int i = 0; i < slot_limit(state); ++i)
    together = together && !kill_hits_own_tools(state.slots[i].name);
  pid_t shells[kMaxSlots];
  int running = 0;
  char cmd[kDataPathSize];
  for (int i = 0; i < slot_limit(state); ++i) {
    state.slots[i].pid.store(0, std::memory_order_release);
    if (build_kill_command(cmd, sizeof cmd, state.slots[i].name) != 0) continue;
    pid_t pid = together ? start_shell(cmd) : -1;
    if (pid >= 0) {
      shells[running++] = pid;
      continue;
    }
    wait_shells(shells, running);
    running = 0;
    run_shell(cmd);
  }
  wait_shells(shells, running);
}

void decode_wait_status(int status, int& code, int& exited) {
  int low = status & 0x7f;
  exited = low == 0 ? 1 : 0;
  code = (low == 0 || low == 0x7f) ? (status >> 8) & 0xff : low;
}

int decode_exit(pid_t pid, int status, const supervisor_state& state, int& code, int& exited) {
  for (int i = 0; i < slot_limit(state); ++i) {
    if (state.slots[i].pid.load(std::memory_order_acquire) == pid) {
      decode_wait_status(status, code, exited);
      return i;
    }
  }
  printf(kMsgNoSuchPid, static_cast<int>(pid));
  return state.proc_count;
}

unsigned segv_delay(uint32_t n) {
  return n >= 1 && n < 4 ? 600 * (n - 1) + 60 : 7200;
}

unsigned segv_backoff(supervisor_state& state) {
  return segv_delay(++state.segv_restarts);
}

int wait_children(supervisor_state& state, int& last_code) {
  for (;;) {
    child_end end{};
    int i = collect_end(state, end);
    if (i < 0) return -1;
    proc_slot& slot = state.slots[i];
    log_exit(end.code, end.exited, slot.name, state.run_fd.load(std::memory_order_acquire));
    end.killed_by_checker = slot.killed_by_checker.exchange(0, std::memory_order_acquire);
    slot.pid.store(0, std::memory_order_release);
    end_decision next = decide_end(end);
    if (end.exited) last_code = next.code;
    switch (next.action) {
      case end_action::fall_back:
        return -1;
      case end_action::upgrade:
        apply_upgrade(state, next.code);
        return 0;
      case end_action::new_cycle:
        return 0;
      case end_action::restart:
      case end_action::restart_after_segv:
        break;
    }
    restart_delay(state, next.action);
    spawn_slot(state, i, next.code);
    if (slot.pid.load(std::memory_order_relaxed) < 0) return -1;
  }
}

void supervise(supervisor_state& state) {
  int last_code = 0;
  // A record that could not be removed after a failed boot is passed over
  // from then on, as if it were gone; otherwise every cycle would fail again
  // at once.
  bool record_stuck = false;
  for (;;) {
    kill_all(state);
    state.data_mode = record_stuck ? 0 : read_boot_mode();
    for (int i = 0; i < slot_limit(state); ++i) {
      spawn_slot(state, i, last_code);
      if (state.slots[i].pid.load(std::memory_order_relaxed) < 0) return;
    }
    if (wait_children(state, last_code) == 0) continue;
    if (record_stuck || clear_bootchk() != 1) {
      printf(kMsgNormalBootFailed);
      return;
    }
    record_stuck = bootchk_present();
    printf(kMsgFallBack);
  }
}
