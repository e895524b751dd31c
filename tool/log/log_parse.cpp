// SPDX-License-Identifier: MIT
// Reads a run file back into events, with the daemon's own line formats and
// its own exit-code protocol.
#include <time.h>

#include <map>

#include "log.hpp"
#include "log_stats.hpp"
#include "runfile.hpp"
#include "supervise.hpp"

namespace {

// asctime's form, "Tue Dec  8 14:03:09 2026", read as UTC.
log_time parse_stamp(const std::string& stamp) {
  struct tm tm {};
  const char* end = strptime(stamp.c_str(), "%a %b %d %H:%M:%S %Y", &tm);
  if (stamp.size() < 24 || !end || end != stamp.c_str() + stamp.size()) return kNoTime;
  time_t t = timegm(&tm);
  return t < 0 ? kNoTime : t;
}

// One line after the first; damaged when it is none of minder's.
log_event parse_line(const std::string& line, int number_of_line) {
  log_event e;
  e.line = number_of_line;
  std::vector<std::string> f;
  if (line.size() <= kLongestLine) {
    for (bool exited : {true, false}) {
      if (!match_format(exited ? kExitLine : kSignalLine, line, &f)) continue;
      e.when = parse_stamp(f[0]);
      if (!f[0].empty() && e.when == kNoTime) break;  // minder writes asctime or nothing
      e.kind = log_kind::end;
      e.stamp = f[0];
      e.child = f[1];
      e.code = field_number(f[2]);
      e.exited = exited;
      return e;
    }
    f.clear();
    if (match_format(kNotAliveLine, line, &f)) {
      e.kind = log_kind::not_alive;
      e.child = f[0];
      return e;
    }
    if (match_format(kCheckAliveFailedLine, line, &f)) {
      e.kind = log_kind::checker_failed;
      return e;
    }
  }
  e.kind = log_kind::damaged;
  e.text = line;
  return e;
}

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

void add_child(log_result& r, std::map<std::string, size_t>& index, const std::string& name,
               bool watched) {
  auto found = index.find(name);
  if (found == index.end()) {
    found = index.emplace(name, r.children.size()).first;
    r.children.push_back({name, false, false});
  }
  log_child& c = r.children[found->second];
  if (watched && !c.configured) c.watched = true;
}

// What each end meant and what minder did next, with the daemon's protocol.
void resolve(log_result& r) {
  struct track {
    log_time started = kNoTime;
    bool marked = false;  // an "is not alive" line since its last end
  };
  std::map<std::string, track> tracks;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < r.children.size(); ++i) index.emplace(r.children[i].name, i);
  log_time cycle_start = kNoTime;  // minder's own start is not logged
  log_time awake = kNoTime;        // when minder's last restart delay ended
  int slept = 0;
  bool later_lines = false;  // for the 129s, walked backwards below
  for (log_event& e : r.events) {
    if (e.kind == log_kind::not_alive) {
      tracks.emplace(e.child, track{cycle_start, false}).first->second.marked = true;
      add_child(r, index, e.child, true);
    }
    if (e.kind != log_kind::end) continue;
    track& tr = tracks.emplace(e.child, track{cycle_start, false}).first->second;
    end_decision d = decide_end({e.code, e.exited ? 1 : 0, tr.marked ? 1 : 0});
    e.cause = cause_of(e, tr.marked);
    add_child(r, index, e.child, e.cause == end_cause::heartbeat_kill);
    tr.marked = false;
    e.restart_code = d.code;
    if (e.when != kNoTime && tr.started != kNoTime && e.when >= tr.started)
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
      continue;
    }
    cycle_start = e.when;
    for (auto& t : tracks) t.second.started = e.when;
  }
  // A 129 followed by any line of minder's was followed by a new cycle: minder
  // ends at a failed cycle only when no record is left to remove.
  for (auto e = r.events.rbegin(); e != r.events.rend(); ++e) {
    if (e->kind == log_kind::end && e->next == next_step::fallback_or_end && later_lines)
      e->next = next_step::fallback;
    later_lines = later_lines || e->kind != log_kind::damaged;
  }
}

}  // namespace

log_result parse_log(const log_input& in) {
  log_result r;
  r.has_output = in.has_output;
  r.children = in.children;
  r.config_given = !in.children.empty();
  const std::string& text = in.run_text;
  int n = 0;
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    bool cut = eol == std::string::npos;
    std::string line = text.substr(at, cut ? std::string::npos : eol - at);
    at = cut ? text.size() : eol + 1;
    log_event e = parse_line(line, ++n);
    if (n == 1 && e.kind == log_kind::damaged) {  // the program directory
      r.directory = line;
      r.directory_ok = line.size() > 1 && line[0] == '/' && line.size() < kPathSize &&
                       line.find('\0') == std::string::npos;
      continue;
    }
    if (cut) {  // whatever it looks like, the line is not whole
      r.cut = true;
      e = log_event();
      e.line = n;
      e.text = line;
    }
    r.damaged += e.kind == log_kind::damaged;
    r.run_file = r.run_file || e.kind != log_kind::damaged;
    if (e.when != kNoTime && r.first == kNoTime) {
      r.first = e.when;
      r.first_stamp = e.stamp;
    }
    if (e.when != kNoTime) {
      r.last = e.when;
      r.last_stamp = e.stamp;
    }
    r.events.push_back(std::move(e));
  }
  r.run_file = r.run_file || r.directory_ok;
  resolve(r);
  if (in.has_output) parse_output(in.output_text, &r.output);
  resolve_last_failure(r);
  return r;
}
