// SPDX-License-Identifier: MIT
// The problems of a phase's ends: one line per cause, with how often and
// when; a request answered as minder answers it is no problem unless the
// child asks for it in every cycle.
#include <stdio.h>

#include <algorithm>

#include "alive.hpp"
#include "common.hpp"
#include "log.hpp"
#include "rehearsal.hpp"

namespace {

// A signal with which a program crashes, as the kernel sends it, or null.
const char* crash_name(int sig) {
  switch (sig) {
    case 4:
      return "an illegal instruction";
    case 6:
      return "an abort";
    case 7:
      return "a bus error";
    case 8:
      return "a floating-point exception";
    case 31:
      return "a bad system call";
    default:
      return nullptr;
  }
}

std::string seconds_text(double s) {
  char text[32];
  snprintf(text, sizeof text, s < 10 ? "%.1f s" : "%.0f s", s);
  return text;
}

// The daemon's "failed to exec" message about child, or "".
std::string exec_failure(const log_result& log, const std::string& child) {
  for (const out_event& o : log.output)
    if (o.kind == out_kind::exec_failed && (o.text.find(" " + child + ",") != std::string::npos ||
                                            o.text.find("/" + child + ",") != std::string::npos))
      return ": " + o.text;
  return "";
}

// The child's last start at or before at.
const child_start* start_before(const phase_result& p, const std::string& child, double at) {
  const child_start* found = nullptr;
  for (const child_start& s : p.starts)
    if (s.child == child && s.at <= at + 0.05) found = &s;
  return found;
}

// What the CPU judgement says of the program that started, or "".
std::string cpu_why(const rehearsal& r, const child_start* s, const std::string& child) {
  std::string where = s && s->from_data ? r.package : "program directory";
  for (const standin& d : r.dies)
    if (d.name == child && d.where == where) return d.why.substr(0, d.why.find(": it dies"));
  return "";
}

struct cause {
  std::string child, words;
  std::string detail;   // after the count and times
  bool problem = true;  // false: said only when the child ended more than once
  int n = 0;
  double first = 0, last = 0;
};

bool request_as_designed(const log_event& e) {
  if (!e.exited) return false;
  if (e.code == kExitNewCycle) return e.next == next_step::new_cycle;
  return (e.code == kExitUnpackPackage || e.code == kExitInstallBlob ||
          e.code == kExitRecordVersion) &&
         e.next == next_step::upgrade;
}

// The words of the cause of an end that is no request.
cause cause_of(const rehearsal& r, const phase_result& p, const log_result& log, const log_event& e,
               double at) {
  cause c{e.child, "", "", true};
  const char* crash = e.cause == end_cause::signal ? crash_name(e.code) : nullptr;
  if (e.cause == end_cause::cannot_start) {
    std::string failed = exec_failure(log, e.child);
    const char* then = e.next == next_step::fallback       ? "the fallback ran"
                       : e.next == next_step::minder_ended ? "minder ended"
                                                           : "the fallback ran or minder ended";
    c.words = !failed.empty() ? "could not be started (exit 129)"
                              : std::string("ended with 129 after running (") + then + ")";
    c.detail = failed;
    if (const child_start* s = failed.empty() ? start_before(p, e.child, at) : nullptr)
      c.words = "ended with 129 after running " + seconds_text(at - s->at) + " (" + then + ")";
  } else if (e.cause == end_cause::segfault) {
    c.words = "died of a segmentation fault (signal 11)";
  } else if (crash) {
    c.words = std::string("died of ") + crash + " (signal " + std::to_string(e.code) + ")";
    std::string why = cpu_why(r, start_before(p, e.child, at), e.child);
    if (!why.empty()) c.detail = ": " + why;
  } else if (e.cause == end_cause::heartbeat_kill) {
    c.words = "was killed by the heartbeat checker";
  } else {
    c.words = "ended (" + end_words(e) + ")";
    c.problem = false;
  }
  return c;
}

void count(std::vector<cause>* causes, const cause& c, double at) {
  auto it = std::find_if(causes->begin(), causes->end(), [&](const cause& x) {
    return x.child == c.child && x.words == c.words && x.detail == c.detail;
  });
  if (it == causes->end()) it = causes->insert(causes->end(), c);
  if (it->n++ == 0) it->first = at;
  it->last = at;
}

std::string line_of(const cause& c) {
  if (c.n == 1) return c.child + " " + c.words + " at " + seconds_text(c.first) + c.detail;
  return c.child + " " + c.words + " " + std::to_string(c.n) + " times from " +
         seconds_text(c.first) + " to " + seconds_text(c.last) + c.detail;
}

}  // namespace

std::vector<std::string> end_problems(const rehearsal& r, int phase, const phase_result& p,
                                      const log_result& log) {
  std::vector<cause> causes, requests;
  std::vector<std::string> ended;  // a child's name for each of its ends that is no request
  int cycles = 0;                  // cycles a request ended, the requester's not counted
  bool requester_seen = false;
  for (size_t i = 0; i < log.events.size(); ++i) {
    const log_event& e = log.events[i];
    if (e.kind != log_kind::end) continue;
    double at = i < p.event_at.size() ? p.event_at[i] : p.ran;
    if (phase == 2 && !requester_seen && e.child == r.children[0] && e.exited &&
        e.code == kExitUnpackPackage) {
      requester_seen = true;
      continue;
    }
    if (request_as_designed(e)) {
      ++cycles;
      count(&requests, {e.child, "asks for " + std::to_string(e.code), "", true}, at);
      continue;
    }
    cause c = cause_of(r, p, log, e, at);
    count(&causes, c, at);
    ended.push_back(e.child);
  }
  std::vector<std::string> out;
  for (const cause& c : causes)
    if (c.problem || std::count(ended.begin(), ended.end(), c.child) > 1) out.push_back(line_of(c));
  for (const cause& c : requests)
    if (c.n >= 2 && c.n == cycles)
      out.push_back(line_of(c) + ", in every cycle of the phase: the request loops");
  return out;
}

std::vector<std::string> length_notes(const rehearsal& r, int phase) {
  // The checker kills at its kMissLimit-th check in a row without the file:
  // kMissLimit checks after the last heartbeat at the soonest, one check more
  // when the heartbeat came just after a check (the old version's, just
  // before the request). Ten seconds more for the kill and its line.
  constexpr int kLatest = static_cast<int>((kMissLimit + 1) * kCheckInterval);
  constexpr int kSoonest = static_cast<int>(kMissLimit * kCheckInterval);
  int seconds = r.seconds[phase - 1];
  std::vector<std::string> out;
  for (const std::string& w : r.watched)
    if (seconds < kLatest + 10)
      out.push_back(w + " is watched: a heartbeat kill comes " + std::to_string(kSoonest) + "-" +
                    std::to_string(kLatest) + " s after its last heartbeat, " +
                    std::to_string(kLatest) + " s when it came " +
                    (phase == 2 ? "just before the request" : "just after a check") +
                    "; this phase ran " + std::to_string(seconds) + " s: --seconds " +
                    std::to_string(kLatest + 10) + " would show one");
  return out;
}
