// SPDX-License-Identifier: MIT
// What happened to a device, in a few stable words, for counting a fleet.
#include <algorithm>

#include "log.hpp"
#include "log_stats.hpp"

std::vector<const char*> log_outcomes(const log_result& r) {
  std::vector<const char*> out;
  if (!r.run_file) return out;
  int upgrade = 0, failed = 0;  // the lines of the last request and of the last 129
  next_step last_failure = next_step::fallback;
  bool fell_back = false, loop = false, kills = false;
  for (const child_stats& s : gather_stats(r)) {
    if (s.last_upgrade) upgrade = std::max(upgrade, s.last_upgrade->line);
    if (s.last_cannot_start && s.last_cannot_start->line > failed) {
      failed = s.last_cannot_start->line;
      last_failure = s.last_cannot_start->next;
    }
    // Only the file's last end can be a 129 that nothing followed.
    fell_back = fell_back || s.cannot_start > 1 ||
                (s.last_cannot_start && s.last_cannot_start->next == next_step::fallback);
    loop = loop || s.loop >= kCrashLoopEnds;
    kills = kills || s.heartbeat_kills > 0;
  }
  bool ended = (failed && last_failure == next_step::minder_ended) ||
               r.output_count[static_cast<int>(out_kind::ended)] ||
               r.output_count[static_cast<int>(out_kind::startup_failed)];
  if (upgrade > failed) out.push_back("upgrade_taken");
  if (fell_back) out.push_back("fallback");
  if (failed && last_failure == next_step::fallback_or_end && !ended)
    out.push_back("fallback_or_end");
  if (loop) out.push_back("crash_loop");
  if (kills) out.push_back("heartbeat_kills");
  if (ended) out.push_back("minder_ended");
  if (out.empty()) out.push_back("nothing_notable");
  return out;
}
