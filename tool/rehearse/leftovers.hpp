// SPDX-License-Identifier: MIT
// The rehearsal's own directory, marked with the process that made it, and
// the directories of rehearsals that were killed (SIGKILL leaves them
// behind) cleared by the next one.
#pragma once

#include <string>

// The name every rehearsal's own directory starts with, in TMPDIR.
inline constexpr char kWorkPrefix[] = "minder-rehearse-";

// Marks dir as this process's: its pid and start time in dir/.owner.
bool mark_work(const std::string& dir, std::string* why);
// Removes the directories in tmp that are provably a rehearsal's (named so,
// ours, marked) whose process is gone; how many.
int clear_leftovers(const std::string& tmp);
