// SPDX-License-Identifier: MIT
// Each child's ends counted as the run file is read, and the counts the
// summary and the warnings share.
#include "log_stats.hpp"

#include <algorithm>

#include "log.hpp"

void count_event(child_stats& s, const log_event& e) {
  s.killing = e.kind == log_kind::not_alive;
  if (e.kind != log_kind::end) return;
  ++s.ends;
  s.last = e;
  auto found = std::find_if(s.causes.begin(), s.causes.end(), [&](const cause_count& c) {
    return c.cause == e.cause && c.code == e.code;
  });
  if (found == s.causes.end())
    s.causes.push_back({end_words(e), e.cause, e.code, 1});
  else
    ++found->count;
  if (e.cause == end_cause::cannot_start) {
    ++s.cannot_start;
    s.last_cannot_start = e;
  }
  if (e.cause == end_cause::heartbeat_kill) {
    ++s.heartbeat_kills;
    s.last_kill = e;
  }
  if (e.next == next_step::upgrade) {
    ++s.upgrades;
    s.last_upgrade = e;
  }
  bool quick = e.next == next_step::restart && (e.ran == kNoTime || e.ran < kQuickEnd);
  s.quick = quick ? s.quick + 1 : 0;
  if (s.quick > 0 && s.quick >= s.loop) {
    s.loop = s.quick;
    s.loop_last = e;
  }
}

std::string duration_text(log_time s) {
  const struct {
    log_time size;
    const char* name;
  } units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  for (int i = 0; i < 3; ++i) {
    if (s < units[i].size) continue;
    std::string text = std::to_string(s / units[i].size) + " " + units[i].name;
    log_time rest = s % units[i].size / units[i + 1].size;
    return rest ? text + " " + std::to_string(rest) + " " + units[i + 1].name : text;
  }
  return std::to_string(s) + " s";
}

const std::vector<child_stats>& gather_stats(const log_result& r) {
  return r.stats;
}

const log_event* last_end(const log_result& r) {
  return r.last_end ? &*r.last_end : nullptr;
}

uint32_t segfaults_at_least(const log_result& r) {
  return static_cast<uint32_t>(std::max(r.segfaults, r.segv_told));
}
