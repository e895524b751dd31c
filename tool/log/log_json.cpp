// SPDX-License-Identifier: MIT
// A parsed run file as one JSON object of schema 1, on one line: its events,
// what standard output added, each child's ends counted, the warnings and the
// outcomes, every kind and cause a stable identifier, every time as ISO 8601
// text and as seconds since the epoch. The manual lists the keys. Written
// directly, a fleet's worth of files a second.
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "log.hpp"
#include "log_json_writer.hpp"
#include "log_stats.hpp"

namespace {

const char* kind_name(log_kind kind) {
  const char* names[] = {"end", "not_alive", "checker_failed", "damaged"};
  return names[static_cast<int>(kind)];
}

const char* next_name(next_step next) {
  const char* names[] = {"restart",  "new_cycle",       "upgrade",
                         "fallback", "fallback_or_end", "minder_ended"};
  return names[static_cast<int>(next)];
}

const char* out_name(out_kind kind) {
  const char* names[] = {"fell_back",   "ended",         "segv_delay",     "normal_delay",
                         "exec_failed", "copy_failed",   "waitpid_failed", "fork_failed",
                         "no_such_pid", "startup_failed"};
  return names[static_cast<int>(kind)];
}

void end_json(json_writer& w, const log_event& e) {
  w.str("child", e.child);
  w.flag("exited", e.exited);
  w.num("code", e.code);
  w.id("cause", cause_name(e.cause));
  w.str("cause_text", end_words(e));
  w.id("next", next_name(e.next));
  w.str("next_text", next_words(e));
  w.num("restart_code", e.restart_code);
  if (e.next == next_step::restart) w.num("delay", e.delay);
  if (e.cause == end_cause::segfault) w.num("segfaults", e.segfaults);
  if (e.ran != kNoTime) w.num("ran", e.ran);
  if (e.waited) w.num("waited", e.waited);
}

// A line without a time sits between its neighbours' times.
void events_json(json_writer& w, const log_result& r) {
  std::vector<log_time> before(r.events.size(), kNoTime);
  log_time t = kNoTime;
  for (size_t i = r.events.size(); i-- > 0;) {
    before[i] = t;
    if (r.events[i].when != kNoTime) t = r.events[i].when;
  }
  w.open("events", '[');
  t = kNoTime;
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    w.open(nullptr, '{');
    w.num("line", e.line);
    w.id("kind", kind_name(e.kind));
    w.when("time", "epoch", e.when);
    if (e.when == kNoTime && e.kind != log_kind::damaged) {
      w.when("after_time", "after_epoch", t);
      w.when("before_time", "before_epoch", before[i]);
    }
    if (e.kind == log_kind::end) end_json(w, e);
    if (e.kind == log_kind::not_alive) w.str("child", e.child);
    if (e.kind == log_kind::damaged) w.str("text", e.text, 200);
    w.close('}');
    if (e.when != kNoTime) t = e.when;
  }
  w.close(']');
}

void child_json(json_writer& w, const log_child& c, const child_stats& s) {
  w.open(nullptr, '{');
  w.str("name", c.name);
  w.flag("configured", c.configured);
  w.flag("watched", c.watched);
  w.num("ends", s.ends);
  w.open("causes", '[');
  for (const cause_count& cause : s.causes) {
    w.open(nullptr, '{');
    w.id("cause", cause_name(cause.cause));
    w.num("code", cause.code);
    w.num("count", cause.count);
    w.str("text", cause.words);
    w.close('}');
  }
  w.close(']');
  w.num("crash_loop", s.loop);
  w.num("heartbeat_kills", s.heartbeat_kills);
  w.num("upgrades", s.upgrades);
  w.num("cannot_start", s.cannot_start);
  if (s.last) w.num("last_end_line", s.last->line);
  w.close('}');
}

void output_json(json_writer& w, const log_result& r) {
  int all = 0;
  for (int n : r.output_count) all += n;
  w.open("output", '[');
  for (const out_event& e : r.output) {
    w.open(nullptr, '{');
    w.num("line", e.line);
    w.id("kind", out_name(e.kind));
    if (e.kind == out_kind::segv_delay || e.kind == out_kind::normal_delay ||
        e.kind == out_kind::no_such_pid)
      w.num("number", e.number);
    w.str("text", e.text);
    w.close('}');
  }
  w.close(']');
  w.num("output_omitted", all - static_cast<int>(r.output.size()));
}

void warnings_json(json_writer& w, const std::vector<log_warning>& warnings) {
  w.open("warnings", '[');
  for (const log_warning& x : warnings) {
    w.open(nullptr, '{');
    w.id("id", x.id);
    if (!x.child.empty()) w.str("child", x.child);
    if (x.count) w.num("count", x.count);
    if (x.line) w.num("line", x.line);
    w.str("text", x.text);
    w.close('}');
  }
  w.close(']');
}

}  // namespace

std::string iso_time(log_time t) {
  time_t when = static_cast<time_t>(t);
  struct tm tm;
  if (t == kNoTime || !gmtime_r(&when, &tm) || tm.tm_year + 1900 > 9999) return "";
  char text[20];
  auto put = [&](int at, int v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) text[at + i] = static_cast<char>('0' + v % 10);
  };
  put(0, tm.tm_year + 1900, 4);
  put(5, tm.tm_mon + 1, 2);
  put(8, tm.tm_mday, 2);
  put(11, tm.tm_hour, 2);
  put(14, tm.tm_min, 2);
  put(17, tm.tm_sec, 2);
  text[4] = text[7] = '-';
  text[10] = 'T';
  text[13] = text[16] = ':';
  return std::string(text, 19);
}

std::string log_json_text(const log_result& r, const std::string& file, const std::string& output) {
  json_writer w;
  w.open(nullptr, '{');
  w.num("schema", 1);
  if (!file.empty()) w.str("file", file);
  if (!output.empty()) w.str("output_file", output);
  std::vector<log_warning> warnings = log_warning_list(r);
  if (!r.run_file) w.str("error", warnings[0].text);
  w.flag("run_file", r.run_file);
  w.str("program_directory", r.directory);
  w.flag("directory_ok", r.directory_ok);
  w.when("first_time", "first_epoch", r.first);
  w.when("last_time", "last_epoch", r.last);
  if (r.clock_back) w.num("clock_back_line", r.clock_back);
  if (r.clock_forward) {
    w.num("clock_jump_line", r.clock_forward);
    w.num("clock_jump", r.jump);
  }
  w.num("lines", r.lines);
  w.num("events_total", r.event_count);
  w.num("events_omitted", r.event_count - static_cast<int>(r.events.size()));
  w.num("damaged", r.damaged);
  w.flag("cut", r.cut);
  w.num("segfaults_at_least", segfaults_at_least(r));
  w.open("outcomes", '[');
  for (const char* id : log_outcomes(r)) w.item(id);
  w.close(']');
  events_json(w, r);
  if (r.has_output) output_json(w, r);
  w.open("children", '[');
  const std::vector<child_stats>& stats = gather_stats(r);
  for (size_t i = 0; i < stats.size(); ++i) child_json(w, r.children[i], stats[i]);
  w.close(']');
  warnings_json(w, warnings);
  w.close('}');
  return std::move(w.text);
}

std::string log_json_error(const std::string& file, const std::string& output,
                           const std::string& why) {
  json_writer w;
  w.open(nullptr, '{');
  w.num("schema", 1);
  w.str("file", file);
  if (!output.empty()) w.str("output_file", output);
  w.str("error", why);
  w.close('}');
  return std::move(w.text);
}

json_ptr log_to_json(const log_result& r, const std::string& file, const std::string& output) {
  return json_ptr(cJSON_Parse(log_json_text(r, file, output).c_str()));
}
