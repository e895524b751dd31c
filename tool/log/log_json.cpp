// SPDX-License-Identifier: MIT
// A parsed run file as one JSON object: its events, what standard output
// added, each child's ends counted, and the warnings.
#include "log.hpp"
#include "log_stats.hpp"

namespace {

const char* kind_name(log_kind kind) {
  switch (kind) {
    case log_kind::end:
      return "end";
    case log_kind::not_alive:
      return "not_alive";
    case log_kind::checker_failed:
      return "checker_failed";
    case log_kind::damaged:
      return "damaged";
  }
  return "damaged";
}

const char* next_name(next_step next) {
  switch (next) {
    case next_step::restart:
      return "restart";
    case next_step::new_cycle:
      return "new_cycle";
    case next_step::upgrade:
      return "upgrade";
    case next_step::fallback:
      return "fallback";
    case next_step::fallback_or_end:
      return "fallback_or_end";
    case next_step::minder_ended:
      return "minder_ended";
  }
  return "restart";
}

const char* out_name(out_kind kind) {
  const char* names[] = {"fell_back",   "ended",         "segv_delay",     "normal_delay",
                         "exec_failed", "copy_failed",   "waitpid_failed", "fork_failed",
                         "no_such_pid", "startup_failed"};
  return names[static_cast<int>(kind)];
}

void add_text(cJSON* obj, const char* key, const std::string& text) {
  cJSON_AddStringToObject(obj, key, printable(text, 4096).c_str());
}

cJSON* end_json(const log_event& e) {
  cJSON* o = cJSON_CreateObject();
  add_text(o, "child", e.child);
  cJSON_AddBoolToObject(o, "exited", e.exited);
  cJSON_AddNumberToObject(o, "code", e.code);
  cJSON_AddStringToObject(o, "cause", cause_name(e.cause));
  add_text(o, "meaning", end_words(e));
  cJSON_AddStringToObject(o, "next", next_name(e.next));
  add_text(o, "next_words", next_words(e));
  cJSON_AddNumberToObject(o, "restart_code", e.restart_code);
  if (e.next == next_step::restart) cJSON_AddNumberToObject(o, "delay", e.delay);
  if (e.cause == end_cause::segfault) cJSON_AddNumberToObject(o, "segfaults", e.segfaults);
  if (e.ran != kNoTime) cJSON_AddNumberToObject(o, "ran", static_cast<double>(e.ran));
  return o;
}

cJSON* event_json(const log_event& e) {
  cJSON* o = e.kind == log_kind::end ? end_json(e) : cJSON_CreateObject();
  cJSON_AddNumberToObject(o, "line", e.line);
  cJSON_AddStringToObject(o, "kind", kind_name(e.kind));
  if (!e.stamp.empty()) add_text(o, "time", e.stamp);
  if (e.when != kNoTime) cJSON_AddNumberToObject(o, "t", static_cast<double>(e.when));
  if (e.kind == log_kind::not_alive) add_text(o, "child", e.child);
  if (e.kind == log_kind::damaged) add_text(o, "text", e.text);
  return o;
}

cJSON* child_json(const log_child& c, const child_stats& s) {
  cJSON* o = cJSON_CreateObject();
  add_text(o, "name", c.name);
  cJSON_AddBoolToObject(o, "configured", c.configured);
  cJSON_AddBoolToObject(o, "watched", c.watched);
  cJSON_AddNumberToObject(o, "ends", s.ends);
  cJSON* causes = cJSON_AddObjectToObject(o, "causes");
  for (const auto& cause : s.causes)
    cJSON_AddNumberToObject(causes, cause.first.c_str(), cause.second);
  if (s.last) cJSON_AddNumberToObject(o, "last_end_line", s.last->line);
  return o;
}

}  // namespace

json_ptr log_to_json(const log_result& r) {
  json_ptr root(cJSON_CreateObject());
  cJSON* o = root.get();
  cJSON_AddBoolToObject(o, "run_file", r.run_file);
  add_text(o, "program_directory", r.directory);
  cJSON_AddBoolToObject(o, "directory_ok", r.directory_ok);
  if (r.first != kNoTime) {
    add_text(o, "first", r.first_stamp);
    add_text(o, "last", r.last_stamp);
  }
  cJSON_AddNumberToObject(o, "segfaults_at_least", segfaults_at_least(r));
  cJSON_AddNumberToObject(o, "damaged", r.damaged);
  cJSON* events = cJSON_AddArrayToObject(o, "events");
  for (const log_event& e : r.events) cJSON_AddItemToArray(events, event_json(e));
  if (r.has_output) {
    cJSON* output = cJSON_AddArrayToObject(o, "output");
    for (const out_event& e : r.output) {
      cJSON* item = cJSON_CreateObject();
      cJSON_AddNumberToObject(item, "line", e.line);
      cJSON_AddStringToObject(item, "kind", out_name(e.kind));
      add_text(item, "text", e.text);
      cJSON_AddItemToArray(output, item);
    }
  }
  cJSON* children = cJSON_AddArrayToObject(o, "children");
  std::vector<child_stats> stats = gather_stats(r);
  for (size_t i = 0; i < stats.size(); ++i)
    cJSON_AddItemToArray(children, child_json(r.children[i], stats[i]));
  cJSON* warnings = cJSON_AddArrayToObject(o, "warnings");
  for (const std::string& w : log_warnings(r))
    cJSON_AddItemToArray(warnings, cJSON_CreateString(w.c_str()));
  return root;
}
