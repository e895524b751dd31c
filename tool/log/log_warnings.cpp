// SPDX-License-Identifier: MIT
// Each child's ends counted, and the warnings drawn from them and from
// minder's standard output, the worst first.
#include <algorithm>
#include <map>

#include "log.hpp"
#include "log_stats.hpp"
#include "supervise.hpp"

namespace {

std::string where(const log_event& e) {
  return e.stamp.empty() ? "line " + std::to_string(e.line) : printable(e.stamp);
}

std::string times(int n) {
  return n == 1 ? "once" : std::to_string(n) + " times";
}

void count(child_stats& s, const log_event& e) {
  ++s.ends;
  s.last = &e;
  std::string words = end_words(e);
  auto found = std::find_if(s.causes.begin(), s.causes.end(),
                            [&](const auto& c) { return c.first == words; });
  if (found == s.causes.end())
    s.causes.emplace_back(words, 1);
  else
    ++found->second;
  if (e.cause == end_cause::cannot_start) {
    ++s.cannot_start;
    s.last_cannot_start = &e;
  }
  if (e.cause == end_cause::heartbeat_kill) {
    ++s.heartbeat_kills;
    s.last_kill = &e;
  }
  if (e.next == next_step::upgrade) {
    ++s.upgrades;
    s.last_upgrade = &e;
  }
  bool quick = e.next == next_step::restart && (e.ran == kNoTime || e.ran < kQuickEnd);
  s.quick = quick ? s.quick + 1 : 0;
  if (s.quick > 0 && s.quick >= s.loop) {
    s.loop = s.quick;
    s.loop_last = &e;
  }
}

// What the output says about a child that could not be started.
std::string exec_failure(const log_result& r, const std::string& child) {
  std::string found;
  for (const out_event& o : r.output)
    if (o.kind == out_kind::exec_failed && (o.text.find(" " + child + ",") != std::string::npos ||
                                            o.text.find("/" + child + ",") != std::string::npos))
      found = "; standard output, line " + std::to_string(o.line) + ": " + printable(o.text);
  return found;
}

void cannot_start(const log_result& r, const log_child& c, const child_stats& s,
                  std::vector<std::string>& w) {
  const log_event& e = *s.last_cannot_start;
  const char* outcome =
      e.next == next_step::fallback ? "the boot-check record was removed and the shipped "
                                      "programs started again (fallback)"
      : e.next == next_step::minder_ended
          ? "no boot-check record was left to remove, and minder ended"
          : "then either the fallback to the shipped programs ran or minder ended "
            "(--output tells which)";
  w.push_back(printable(c.name) + " cannot be started: exit 129 " + times(s.cannot_start) +
              ", the last at " + where(e) + ": " + outcome + exec_failure(r, c.name));
}

// Failures only standard output tells of.
void output_failures(const log_result& r, std::vector<std::string>& w) {
  bool ended_logged = false;
  for (const log_event& e : r.events)
    ended_logged = ended_logged || e.next == next_step::minder_ended;
  for (const out_event& o : r.output) {
    const char* what = nullptr;
    if (o.kind == out_kind::startup_failed) what = "minder ended at start-up";
    if (o.kind == out_kind::ended && !ended_logged)
      what =
          "a cycle failed with no boot-check "
          "record to remove: minder ended";
    if (o.kind == out_kind::fork_failed) what = "no new process could be started";
    if (o.kind == out_kind::waitpid_failed) what = "minder had no child left to wait for";
    if (o.kind == out_kind::copy_failed) what = "the script blob was not installed";
    if (what)
      w.push_back(std::string(what) + ": standard output, line " + std::to_string(o.line) + ": " +
                  printable(o.text));
  }
}

}  // namespace

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

std::vector<child_stats> gather_stats(const log_result& r) {
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < r.children.size(); ++i) index.emplace(r.children[i].name, i);
  std::vector<child_stats> stats(r.children.size());
  for (const log_event& e : r.events) {
    auto found = index.find(e.child);
    if (found == index.end() || (e.kind != log_kind::end && e.kind != log_kind::not_alive))
      continue;
    child_stats& s = stats[found->second];
    s.killing = e.kind == log_kind::not_alive;
    if (e.kind == log_kind::end) count(s, e);
  }
  return stats;
}

const log_event* last_end(const log_result& r) {
  for (auto e = r.events.rbegin(); e != r.events.rend(); ++e)
    if (e->kind == log_kind::end) return &*e;
  return nullptr;
}

uint32_t segfaults_at_least(const log_result& r) {
  uint32_t n = static_cast<uint32_t>(r.segfaults);
  for (const out_event& o : r.output) {  // a delay printed tells which segfault it followed
    if (o.kind != out_kind::segv_delay) continue;
    for (uint32_t k = 1; k <= kSegvSteps; ++k)
      if (static_cast<int>(segv_delay(k)) == o.number && n < k) n = k;
  }
  return n;
}

std::vector<std::string> log_warnings(const log_result& r) {
  std::vector<std::string> w;
  if (!r.run_file) {
    w.push_back("not a run file: its first line is no program directory, and no line is minder's");
    return w;
  }
  std::vector<child_stats> stats = gather_stats(r);
  auto each = [&](auto add) {
    for (size_t i = 0; i < stats.size(); ++i) add(r.children[i], stats[i]);
  };
  each([&](const log_child& c, const child_stats& s) {
    if (s.cannot_start) cannot_start(r, c, s, w);
  });
  output_failures(r, w);
  each([&](const log_child& c, const child_stats& s) {
    if (s.loop < kCrashLoopEnds) return;
    w.push_back("crash loop: " + printable(c.name) + " ended " + std::to_string(s.loop) +
                " times in a row, each within " + duration_text(kQuickEnd) + " of its start, " +
                "the last at " + where(*s.loop_last) + ": " + end_words(*s.loop_last));
  });
  uint32_t segfaults = segfaults_at_least(r);
  if (segfaults >= kSegvSteps) {
    const log_event* e = last_end(r);
    std::string due = e && e->cause == end_cause::segfault && e->when != kNoTime
                          ? "; " + printable(e->child) + "'s next start is due at " +
                                time_text(e->when + e->delay)
                          : "";
    w.push_back("segfault back-off at 7200 s: at least " + std::to_string(segfaults) +
                " segfaults since minder started" + due);
  }
  each([&](const log_child& c, const child_stats& s) {
    if (!s.heartbeat_kills && !s.killing) return;
    std::string text = s.heartbeat_kills
                           ? printable(c.name) + " killed by the heartbeat checker " +
                                 times(s.heartbeat_kills) + ", the last at " + where(*s.last_kill)
                           : printable(c.name) + " being killed by the heartbeat checker";
    if (s.killing)
      text += (s.heartbeat_kills ? ", and again" : "") +
              std::string(" as the file ends, after its \"is not alive\" line");
    if (r.config_given && c.configured && !c.watched) text += " (the config does not watch it)";
    w.push_back(text + ": its heartbeat file stayed away for three checks in a row");
  });
  each([&](const log_child& c, const child_stats& s) {
    if (s.upgrades < kRepeatedUpgrades) return;
    w.push_back(printable(c.name) + " asked for an upgrade " + times(s.upgrades) +
                ", the last at " + where(*s.last_upgrade) + " (" + end_words(*s.last_upgrade) +
                "): a package that never takes");
  });
  for (const log_event& e : r.events)
    if (e.kind == log_kind::checker_failed)
      w.push_back("create pthread check_alive failed (line " + std::to_string(e.line) +
                  "): no heartbeat checks in this run of minder");
  return w;
}
