// SPDX-License-Identifier: MIT
// A parsed run file as one JSON object of schema 1: its events, what standard
// output added, each child's ends counted, the warnings and the outcomes,
// every kind and cause a stable identifier, every time as ISO 8601 text and
// as seconds since the epoch. The manual lists the keys.
#include <time.h>

#include "log.hpp"
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

void add_text(cJSON* obj, const char* key, const std::string& text, size_t max = 4096) {
  cJSON_AddStringToObject(obj, key, printable(text, max).c_str());
}

void add_number(cJSON* obj, const char* key, long long n) {
  cJSON_AddNumberToObject(obj, key, static_cast<double>(n));
}

// "<prefix>time": ISO 8601 text, "<prefix>epoch": seconds.
void add_time(cJSON* obj, const std::string& prefix, log_time t) {
  if (t == kNoTime) return;
  cJSON_AddStringToObject(obj, (prefix + "time").c_str(), iso_time(t).c_str());
  add_number(obj, (prefix + "epoch").c_str(), t);
}

void add_end(cJSON* o, const log_event& e) {
  add_text(o, "child", e.child);
  cJSON_AddBoolToObject(o, "exited", e.exited);
  add_number(o, "code", e.code);
  cJSON_AddStringToObject(o, "cause", cause_name(e.cause));
  add_text(o, "cause_text", end_words(e));
  cJSON_AddStringToObject(o, "next", next_name(e.next));
  add_text(o, "next_text", next_words(e));
  add_number(o, "restart_code", e.restart_code);
  if (e.next == next_step::restart) add_number(o, "delay", e.delay);
  if (e.cause == end_cause::segfault) add_number(o, "segfaults", e.segfaults);
  if (e.ran != kNoTime) add_number(o, "ran", e.ran);
  if (e.waited) add_number(o, "waited", e.waited);
}

// A line without a time sits between its neighbours' times.
cJSON* event_json(const log_event& e, log_time after, log_time before) {
  cJSON* o = cJSON_CreateObject();
  add_number(o, "line", e.line);
  cJSON_AddStringToObject(o, "kind", kind_name(e.kind));
  add_time(o, "", e.when);
  if (e.when == kNoTime && e.kind != log_kind::damaged) {
    add_time(o, "after_", after);
    add_time(o, "before_", before);
  }
  if (e.kind == log_kind::end) add_end(o, e);
  if (e.kind == log_kind::not_alive) add_text(o, "child", e.child);
  if (e.kind == log_kind::damaged) add_text(o, "text", e.text, 200);
  return o;
}

void add_events(cJSON* o, const log_result& r) {
  std::vector<log_time> before(r.events.size(), kNoTime);
  log_time t = kNoTime;
  for (size_t i = r.events.size(); i-- > 0;) {
    before[i] = t;
    if (r.events[i].when != kNoTime) t = r.events[i].when;
  }
  cJSON* events = cJSON_AddArrayToObject(o, "events");
  t = kNoTime;
  for (size_t i = 0; i < r.events.size(); ++i) {
    cJSON_AddItemToArray(events, event_json(r.events[i], t, before[i]));
    if (r.events[i].when != kNoTime) t = r.events[i].when;
  }
}

cJSON* child_json(const log_child& c, const child_stats& s) {
  cJSON* o = cJSON_CreateObject();
  add_text(o, "name", c.name);
  cJSON_AddBoolToObject(o, "configured", c.configured);
  cJSON_AddBoolToObject(o, "watched", c.watched);
  add_number(o, "ends", s.ends);
  cJSON* causes = cJSON_AddArrayToObject(o, "causes");
  for (const cause_count& cause : s.causes) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "cause", cause_name(cause.cause));
    add_number(item, "code", cause.code);
    add_number(item, "count", cause.count);
    add_text(item, "text", cause.words);
    cJSON_AddItemToArray(causes, item);
  }
  add_number(o, "crash_loop", s.loop);
  add_number(o, "heartbeat_kills", s.heartbeat_kills);
  add_number(o, "upgrades", s.upgrades);
  add_number(o, "cannot_start", s.cannot_start);
  if (s.last) add_number(o, "last_end_line", s.last->line);
  return o;
}

void add_output(cJSON* o, const log_result& r) {
  cJSON* output = cJSON_AddArrayToObject(o, "output");
  int all = 0;
  for (int n : r.output_count) all += n;
  for (const out_event& e : r.output) {
    cJSON* item = cJSON_CreateObject();
    add_number(item, "line", e.line);
    cJSON_AddStringToObject(item, "kind", out_name(e.kind));
    if (e.kind == out_kind::segv_delay || e.kind == out_kind::normal_delay ||
        e.kind == out_kind::no_such_pid)
      add_number(item, "number", e.number);
    add_text(item, "text", e.text);
    cJSON_AddItemToArray(output, item);
  }
  add_number(o, "output_omitted", all - static_cast<int>(r.output.size()));
}

void add_warnings(cJSON* o, const log_result& r) {
  cJSON* warnings = cJSON_AddArrayToObject(o, "warnings");
  for (const log_warning& w : log_warning_list(r)) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "id", w.id);
    if (!w.child.empty()) add_text(item, "child", w.child);
    if (w.count) add_number(item, "count", w.count);
    if (w.line) add_number(item, "line", w.line);
    add_text(item, "text", w.text);
    cJSON_AddItemToArray(warnings, item);
  }
}

}  // namespace

std::string iso_time(log_time t) {
  time_t when = static_cast<time_t>(t);
  struct tm tm;
  char text[64];
  if (t == kNoTime || !gmtime_r(&when, &tm) ||
      !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm))
    return "";
  return text;
}

json_ptr log_to_json(const log_result& r, const std::string& file, const std::string& output) {
  json_ptr root(cJSON_CreateObject());
  cJSON* o = root.get();
  add_number(o, "schema", 1);
  if (!file.empty()) add_text(o, "file", file);
  if (!output.empty()) add_text(o, "output_file", output);
  if (!r.run_file) add_text(o, "error", log_warnings(r)[0]);
  cJSON_AddBoolToObject(o, "run_file", r.run_file);
  add_text(o, "program_directory", r.directory);
  cJSON_AddBoolToObject(o, "directory_ok", r.directory_ok);
  add_time(o, "first_", r.first);
  add_time(o, "last_", r.last);
  if (r.clock_back) add_number(o, "clock_back_line", r.clock_back);
  if (r.clock_forward) {
    add_number(o, "clock_jump_line", r.clock_forward);
    add_number(o, "clock_jump", r.jump);
  }
  add_number(o, "lines", r.lines);
  add_number(o, "events_total", r.event_count);
  add_number(o, "events_omitted", r.event_count - static_cast<int>(r.events.size()));
  add_number(o, "damaged", r.damaged);
  cJSON_AddBoolToObject(o, "cut", r.cut);
  add_number(o, "segfaults_at_least", segfaults_at_least(r));
  cJSON* outcomes = cJSON_AddArrayToObject(o, "outcomes");
  for (const char* id : log_outcomes(r)) cJSON_AddItemToArray(outcomes, cJSON_CreateString(id));
  add_events(o, r);
  if (r.has_output) add_output(o, r);
  cJSON* children = cJSON_AddArrayToObject(o, "children");
  const std::vector<child_stats>& stats = gather_stats(r);
  for (size_t i = 0; i < stats.size(); ++i)
    cJSON_AddItemToArray(children, child_json(r.children[i], stats[i]));
  add_warnings(o, r);
  return root;
}
