// SPDX-License-Identifier: MIT
// What the parts of the run-file explainer share: the readers' helpers, each
// child's ends counted, and the thresholds of the warnings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "log.hpp"

// Longer lines are none of minder's (an exit line has at most 255 bytes, a
// heartbeat line 8191); the limit also bounds the matcher's work.
inline constexpr size_t kLongestLine = 16384;

// A %d field as a number; 0 when it does not fit an int.
int field_number(const std::string& text);
// The recognised lines of minder's standard output.
void parse_output(const std::string& text, std::vector<out_event>* out);
// The last failed cycle: the fallback or minder's end, when standard output
// tells which.
void resolve_last_failure(log_result& r);

// A crash loop: this many ends in a row, each within kQuickEnd seconds of
// the child's start.
inline constexpr int kCrashLoopEnds = 3;
inline constexpr log_time kQuickEnd = 300;
// Upgrade requests of one child that make "a package that never takes".
inline constexpr int kRepeatedUpgrades = 3;

struct child_stats {
  int ends = 0;
  std::vector<std::pair<std::string, int>> causes;  // in words, the first seen first
  const log_event* last = nullptr;
  int cannot_start = 0;
  const log_event* last_cannot_start = nullptr;
  int heartbeat_kills = 0;
  const log_event* last_kill = nullptr;
  int upgrades = 0;
  const log_event* last_upgrade = nullptr;
  int loop = 0;  // the most quick ends in a row
  const log_event* loop_last = nullptr;
  int quick = 0;         // quick ends in a row so far
  bool killing = false;  // an "is not alive" line not yet followed by the end
};

// One per child of r.children, in that order; the pointers point into r.
std::vector<child_stats> gather_stats(const log_result& r);
// The last end in the file, or null.
const log_event* last_end(const log_result& r);
// The segfault back-off has this many steps; the last one stays.
inline constexpr uint32_t kSegvSteps = 4;
// Segfaults since minder started, at least: counted in the run file, or told
// by the last delay on standard output.
uint32_t segfaults_at_least(const log_result& r);
// "1 h 2 min 5 s".
std::string duration_text(log_time seconds);
