// SPDX-License-Identifier: MIT
// Reads a run file back into events line by line, with the daemon's own
// exit-code protocol, keeping what the explanation needs in bounded memory.
#include <algorithm>
#include <map>
#include <optional>

#include "log.hpp"
#include "log_fleet.hpp"
#include "log_stats.hpp"
#include "supervise.hpp"

struct log_reader::state {
  struct track {
    log_time started = kNoTime;
    bool marked = false;  // an "is not alive" line since its last end
  };
  log_result r;
  std::map<std::string, size_t> index;  // of r.children
  std::map<std::string, track> tracks;
  log_time cycle_start = kNoTime;  // minder's own start is not logged
  log_time awake = kNoTime;        // when minder's last restart delay ended
  int slept = 0;
  log_time before = kNoTime;         // the last time stamp read
  log_time jumped = kNoTime;         // where the clock last jumped ahead to
  std::optional<log_event> pending;  // a 129 that nothing of minder's followed yet
  size_t pending_at = 0;             // its place in r.events, when kept there
  int out_lines = 0;
  int said = -1;  // the last fell_back or ended on standard output

  void add_child(const std::string& name, bool watched);
  void resolve(log_event& e);
  void times(const log_event& e);
  void count(const log_event& e);
  void settle(next_step next);
};

namespace {

end_cause cause_of(const log_event& e, bool marked) {
  if (!e.exited) {
    if (e.code == kSignalSegv) return end_cause::segfault;
    return e.code == kSignalKill && marked ? end_cause::heartbeat_kill : end_cause::signal;
  }
  switch (e.code) {
    case kExitCannotStart:
      return end_cause::cannot_start;
    case kExitUnpackPackage:
      return end_cause::unpack_package;
    case kExitInstallBlob:
      return end_cause::install_blob;
    case kExitRecordVersion:
      return end_cause::record_version;
    case kExitNewCycle:
      return end_cause::new_cycle;
    default:
      return end_cause::exit_status;
  }
}

}  // namespace

void log_reader::state::add_child(const std::string& name, bool watched) {
  auto found = index.find(name);
  if (found == index.end()) {
    found = index.emplace(name, r.children.size()).first;
    r.children.push_back({name, false, false});
    r.stats.emplace_back();
  }
  log_child& c = r.children[found->second];
  if (watched && !c.configured) c.watched = true;
}

// What an end meant and what minder did next, with the daemon's protocol.
void log_reader::state::resolve(log_event& e) {
  if (e.kind == log_kind::not_alive) {
    tracks.emplace(e.child, track{cycle_start, false}).first->second.marked = true;
    add_child(e.child, true);
  }
  if (e.kind != log_kind::end) return;
  track& tr = tracks.emplace(e.child, track{cycle_start, false}).first->second;
  end_decision d = decide_end({e.code, e.exited ? 1 : 0, tr.marked ? 1 : 0});
  e.cause = cause_of(e, tr.marked);
  add_child(e.child, e.cause == end_cause::heartbeat_kill);
  tr.marked = false;
  e.restart_code = d.code;
  bool across_jump = jumped != kNoTime && tr.started < jumped && e.when >= jumped;
  if (e.when != kNoTime && tr.started != kNoTime && e.when >= tr.started && !across_jump)
    e.ran = e.when - tr.started;
  if (slept > kRestartDelay && awake != kNoTime && e.when >= awake && e.when <= awake + 1)
    e.waited = slept;
  switch (d.action) {
    case end_action::restart_after_segv:
      e.segfaults = ++r.segfaults;
      e.delay = static_cast<int>(segv_delay(static_cast<uint32_t>(e.segfaults)));
      e.next = next_step::restart;
      break;
    case end_action::restart:
      e.delay = kRestartDelay;
      e.next = next_step::restart;
      break;
    case end_action::fall_back:
      e.next = next_step::fallback_or_end;
      break;
    case end_action::upgrade:
      e.next = next_step::upgrade;
      break;
    case end_action::new_cycle:
      e.next = next_step::new_cycle;
      break;
  }
  slept = e.next == next_step::restart ? e.delay : 0;
  awake = e.when == kNoTime ? kNoTime : e.when + e.delay;
  if (e.next == next_step::restart) {
    tr.started = awake;
    return;
  }
  cycle_start = e.when;
  for (auto& t : tracks) t.second.started = e.when;
}

// The span, and where the device's clock was set back or ahead.
void log_reader::state::times(const log_event& e) {
  if (e.when == kNoTime) return;
  if (r.first == kNoTime) {
    r.first = e.when;
    r.first_stamp = e.stamp;
  }
  r.last = e.when;
  r.last_stamp = e.stamp;
  if (before != kNoTime && e.when < before && !r.clock_back) r.clock_back = e.line;
  bool ahead = before != kNoTime && e.when > before &&
               (e.when - before > kClockJump || (before < kClockUnset && e.when >= kClockUnset));
  if (ahead) {
    jumped = e.when;
    if (!r.clock_forward) {
      r.clock_forward = e.line;
      r.jump = e.when - before;
    }
  }
  before = e.when;
}

void log_reader::state::count(const log_event& e) {
  if (e.kind == log_kind::end) r.last_end = e;
  if (e.waited) {
    ++r.waited_ends;
    r.last_waited = e;
  }
  auto found = index.find(e.child);
  if (found != index.end()) count_event(r.stats[found->second], e);
}

// The 129 waiting for what followed it, now known.
void log_reader::state::settle(next_step next) {
  if (!pending) return;
  pending->next = next;
  if (pending_at < r.events.size() && r.events[pending_at].line == pending->line)
    r.events[pending_at].next = next;
  count(*pending);
  pending.reset();
}

log_reader::log_reader(const std::vector<log_child>& children, bool has_output)
    : s_(std::make_unique<state>()) {
  s_->r.has_output = has_output;
  s_->r.config_given = !children.empty();
  for (const log_child& c : children) {
    s_->add_child(c.name, false);
    s_->r.children.back() = c;
  }
}

log_reader::~log_reader() = default;

void log_reader::output_line(const std::string& text) {
  std::string line = text;
  int n = ++s_->out_lines;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  out_event o{out_kind::ended, n, 0, ""};
  if (line.size() > kLongestLine || !parse_output_line(line, n, &o)) return;
  log_result& r = s_->r;
  ++r.output_count[static_cast<int>(o.kind)];
  for (uint32_t k = 1; o.kind == out_kind::segv_delay && k <= kSegvSteps; ++k)
    if (static_cast<int>(segv_delay(k)) == o.number && r.segv_told < static_cast<int>(k))
      r.segv_told = static_cast<int>(k);
  if (o.kind == out_kind::fell_back || o.kind == out_kind::ended)
    s_->said = static_cast<int>(o.kind);
  if (r.output.size() < kKeptOutput) r.output.push_back(std::move(o));
}

void log_reader::run_line(const std::string& line, bool cut) {
  log_result& r = s_->r;
  int n = ++r.lines;
  log_event e = parse_line(line, n);
  if (n == 1 && e.kind == log_kind::damaged) {  // the program directory
    r.directory = line;
    r.directory_ok = line.size() > 1 && line[0] == '/' && line.size() < kPathSize &&
                     line.find('\0') == std::string::npos;
    return;
  }
  bool stranger = (e.kind == log_kind::end || e.kind == log_kind::not_alive) &&
                  r.children.size() >= kMostChildren && !s_->index.count(e.child);
  if (cut || stranger) {  // whatever it looks like, the line is not whole, or not minder's
    r.cut = r.cut || cut;
    e = log_event();
    e.line = n;
    e.text.assign(line, 0, kKeptText);
  }
  ++r.event_count;
  if (e.kind == log_kind::damaged) {
    if (r.damaged_lines.size() < kShownLines) r.damaged_lines.push_back(e);
    ++r.damaged;
  } else {
    r.run_file = true;
    s_->settle(next_step::fallback);  // minder went on after the 129
  }
  if (e.kind == log_kind::checker_failed && r.checker_failed.size() < kShownLines)
    r.checker_failed.push_back(n);
  s_->times(e);
  s_->resolve(e);
  if (e.kind == log_kind::end && e.next == next_step::fallback_or_end) {
    s_->pending = e;
    s_->pending_at = r.events.size();
  } else if (e.kind != log_kind::damaged) {
    s_->count(e);
  }
  if (r.events.size() < kKeptEvents) r.events.push_back(std::move(e));
}

log_result log_reader::finish() {
  state& s = *s_;
  s.settle(s.said == static_cast<int>(out_kind::ended)       ? next_step::minder_ended
           : s.said == static_cast<int>(out_kind::fell_back) ? next_step::fallback
                                                             : next_step::fallback_or_end);
  s.r.run_file = s.r.run_file || s.r.directory_ok;
  return std::move(s.r);
}
