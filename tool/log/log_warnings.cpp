// SPDX-License-Identifier: MIT
// The warnings drawn from each child's ends and from minder's standard
// output, the worst first, each with a stable identifier.
#include <algorithm>

#include "log.hpp"
#include "log_stats.hpp"
#include "supervise.hpp"

namespace {

using warnings = std::vector<log_warning>;

std::string where(const log_event& e) {
  return e.stamp.empty() ? "line " + std::to_string(e.line) : printable(e.stamp);
}

std::string times(int n) {
  return n == 1 ? "once" : std::to_string(n) + " times";
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

void cannot_start(const log_result& r, const log_child& c, const child_stats& s, warnings& w) {
  const log_event& e = *s.last_cannot_start;
  const char* outcome =
      e.next == next_step::fallback ? "the boot-check record was removed and the shipped "
                                      "programs started again (fallback)"
      : e.next == next_step::minder_ended
          ? "no boot-check record was left to remove, and minder ended"
          : "then either the fallback to the shipped programs ran or minder ended "
            "(--output tells which)";
  w.push_back({"cannot_start",
               printable(c.name) + " cannot be started: exit 129 " + times(s.cannot_start) +
                   ", the last at " + where(e) + ": " + outcome + exec_failure(r, c.name),
               c.name, s.cannot_start, e.line});
}

// Failures only standard output tells of.
void output_failures(const log_result& r, warnings& w) {
  bool ended_logged = r.last_end && r.last_end->next == next_step::minder_ended;
  for (const out_event& o : r.output) {
    const char* what = nullptr;
    const char* id = nullptr;
    if (o.kind == out_kind::startup_failed) {
      what = "minder ended at start-up";
      id = "startup_failed";
    }
    if (o.kind == out_kind::ended && !ended_logged) {
      what = "a cycle failed with no boot-check record to remove: minder ended";
      id = "minder_ended";
    }
    if (o.kind == out_kind::fork_failed) {
      what = "no new process could be started";
      id = "fork_failed";
    }
    if (o.kind == out_kind::waitpid_failed) {
      what = "minder had no child left to wait for";
      id = "waitpid_failed";
    }
    if (o.kind == out_kind::copy_failed) {
      what = "the script blob was not installed";
      id = "copy_failed";
    }
    if (what)
      w.push_back({id,
                   std::string(what) + ": standard output, line " + std::to_string(o.line) + ": " +
                       printable(o.text),
                   "", 0, 0});
  }
}

void crash_loop(const log_child& c, const child_stats& s, warnings& w) {
  if (s.loop < kCrashLoopEnds) return;
  w.push_back({"crash_loop",
               "crash loop: " + printable(c.name) + " ended " + std::to_string(s.loop) +
                   " times in a row, each within " + duration_text(kQuickEnd) + " of its start, " +
                   "the last at " + where(*s.loop_last) + ": " + end_words(*s.loop_last),
               c.name, s.loop, s.loop_last->line});
}

void backoff(const log_result& r, warnings& w) {
  uint32_t segfaults = segfaults_at_least(r);
  if (segfaults < kSegvSteps) return;
  const log_event* e = last_end(r);
  bool due = e && e->cause == end_cause::segfault && e->when != kNoTime;
  w.push_back({"segfault_backoff",
               "segfault back-off at 7200 s: at least " + std::to_string(segfaults) +
                   " segfaults since minder started" +
                   (due ? "; " + printable(e->child) + "'s next start is due at " +
                              time_text(e->when + e->delay)
                        : ""),
               due ? e->child : "", static_cast<int>(segfaults), due ? e->line : 0});
}

// Ends that minder collected only when a segfault back-off of its ended.
void backoff_wait(const log_result& r, warnings& w) {
  if (!r.waited_ends) return;
  const log_event& e = *r.last_waited;
  w.push_back({"backoff_wait",
               "ends collected late: " + std::to_string(r.waited_ends) +
                   (r.waited_ends == 1 ? " end" : " ends") +
                   " logged as a segfault back-off of minder's ended (minder collects no end "
                   "while it waits), the last " +
                   printable(e.child) + "'s at " + where(e) + ": it may have ended, and been " +
                   "down, up to " + duration_text(e.waited) + " earlier",
               e.child, r.waited_ends, e.line});
}

void heartbeat(const log_result& r, const log_child& c, const child_stats& s, warnings& w) {
  if (!s.heartbeat_kills && !s.killing) return;
  std::string text = s.heartbeat_kills
                         ? printable(c.name) + " killed by the heartbeat checker " +
                               times(s.heartbeat_kills) + ", the last at " + where(*s.last_kill)
                         : printable(c.name) + " being killed by the heartbeat checker";
  if (s.killing)
    text += (s.heartbeat_kills ? ", and again" : "") +
            std::string(" as the file ends, after its \"is not alive\" line");
  if (r.config_given && c.configured && !c.watched) text += " (the config does not watch it)";
  w.push_back({"heartbeat_kill",
               text + ": its heartbeat file stayed away for three checks in a row", c.name,
               s.heartbeat_kills, s.last_kill ? s.last_kill->line : 0});
}

void upgrades(const log_child& c, const child_stats& s, warnings& w) {
  if (s.upgrades < kRepeatedUpgrades) return;
  w.push_back({"repeated_upgrade",
               printable(c.name) + " asked for an upgrade " + times(s.upgrades) + ", the last at " +
                   where(*s.last_upgrade) + " (" + end_words(*s.last_upgrade) +
                   "): a package that never takes",
               c.name, s.upgrades, s.last_upgrade->line});
}

}  // namespace

std::vector<log_warning> log_warning_list(const log_result& r) {
  warnings w;
  if (!r.run_file) {
    w.push_back({"not_run_file",
                 "not a run file: its first line is no program directory, and no line is minder's",
                 "", 0, 0});
    return w;
  }
  const std::vector<child_stats>& stats = gather_stats(r);
  auto each = [&](auto add) {
    for (size_t i = 0; i < stats.size(); ++i) add(r.children[i], stats[i]);
  };
  each([&](const log_child& c, const child_stats& s) {
    if (s.cannot_start) cannot_start(r, c, s, w);
  });
  output_failures(r, w);
  each([&](const log_child& c, const child_stats& s) { crash_loop(c, s, w); });
  backoff(r, w);
  each([&](const log_child& c, const child_stats& s) { heartbeat(r, c, s, w); });
  each([&](const log_child& c, const child_stats& s) { upgrades(c, s, w); });
  for (int line : r.checker_failed)
    w.push_back({"checker_failed",
                 "create pthread check_alive failed (line " + std::to_string(line) +
                     "): no heartbeat checks in this run of minder",
                 "", 0, line});
  backoff_wait(r, w);
  return w;
}

std::vector<std::string> log_warnings(const log_result& r) {
  std::vector<std::string> texts;
  for (log_warning& w : log_warning_list(r)) texts.push_back(std::move(w.text));
  return texts;
}
