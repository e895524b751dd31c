// SPDX-License-Identifier: MIT
// Watching one phase of a rehearsal, in PID 1: the execs the seccomp listener
// reports, the run file and the daemon's output as they grow, told as they
// come and kept for the report.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "rehearsal.hpp"

// Seconds on the monotonic clock.
double now();

// Appends what was added to the file at path since the last call, up to 16
// MiB in all: a child that floods the output does not flood the tool.
void follow(const std::string& path, std::unique_ptr<unique_fd>* fd, std::string* text);

// One phase in progress.
struct watch {
  watch(const rehearsal& r, int phase, int listener, phase_result* out)
      : r(r), phase(phase), listener(listener), out(out) {}
  const rehearsal& r;
  int phase;
  int listener;
  phase_result* out;
  double start = now();
  double deadline = 0;
  pid_t daemon = -1;
  // Until the daemon's exec is done: the pipe its start holds open until
  // then (close-on-exec), on which it writes errno when the exec fails. The
  // phase's seconds count from that exec, however slow the start.
  int exec_fd = -1;
  int exec_errno = 0;
  std::unique_ptr<unique_fd> run_fd, out_fd;
  size_t events_told = 0, output_told = 0;
  size_t told_output = 0;  // bytes of output the explainer has read
  double told_at = 0;
  bool tty = isatty(2);
  int shown_left = -1;
  double overlaps_checked = 0;
  struct pair_seen {
    size_t earlier, later;  // indices in out->starts
    double since;           // first seen both alive
  };
  std::vector<pair_seen> suspects;
};

// Seconds since the phase began.
double since(const watch& w);

// Polls until the phase is over: reaps, takes the reported execs, reads the
// run file and the output, and shows what happened.
void poll_phase(watch& w, const std::string& run_path, const std::string& out_path);
