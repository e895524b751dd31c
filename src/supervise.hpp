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

void supervise(supervisor_state& state);
void kill_all(supervisor_state& state);
// 0: start a new cycle; -1: the cycle failed.
int wait_children(supervisor_state& state, int& last_code);

// Splits a wait status into the exit status or the signal number.
void decode_wait_status(int status, int& code, int& exited);
// The slot of pid with its decoded end; proc_count when no slot has pid.
int decode_exit(pid_t pid, int status, const supervisor_state& state, int& code, int& exited);
void log_exit(int code, int exited, const char* name, int fd);
// Formats one exit line for the run file; its length.
int format_exit_line(char* line, size_t size, const char* when, int code, int exited,
                     const char* name);
// Delay in seconds before restarting a child that died of a segmentation fault.
unsigned segv_backoff(supervisor_state& state);
