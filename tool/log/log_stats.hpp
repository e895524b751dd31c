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

// A line of the run file after the first; damaged when it is none of
// minder's.
log_event parse_line(const std::string& line, int number_of_line);
// A %d field as a number; 0 when it does not fit an int.
int field_number(const std::string& text);
// One line of minder's standard output: whether it is one of minder's
// messages, and which.
bool parse_output_line(const std::string& line, int number, out_event* o);

// A crash loop: this many ends in a row, each within kQuickEnd seconds of
// the child's start.
inline constexpr int kCrashLoopEnds = 3;
inline constexpr log_time kQuickEnd = 300;
// Upgrade requests of one child that make "a package that never takes".
inline constexpr int kRepeatedUpgrades = 3;

// Counts an end (or an "is not alive" line) into its child's stats.
void count_event(child_stats& s, const log_event& e);

// One per child of r.children, in that order.
const std::vector<child_stats>& gather_stats(const log_result& r);
// The last end in the file, or null.
const log_event* last_end(const log_result& r);
// A jump of the clock ahead larger than this, or from before 2000 (a device
// that booted at the epoch), is the clock being set, not time passing.
inline constexpr log_time kClockJump = 366 * 86400;
inline constexpr log_time kClockUnset = 946684800;
// The segfault back-off has this many steps; the last one stays.
inline constexpr uint32_t kSegvSteps = 4;
// Segfaults since minder started, at least: counted in the run file, or told
// by the last delay on standard output.
uint32_t segfaults_at_least(const log_result& r);
// "1 h 2 min 5 s".
std::string duration_text(log_time seconds);
