// SPDX-License-Identifier: MIT
// The run-file explainer on written run files: the matcher, what the protocol
// makes certain, damaged input, which is shown and never fatal, the warnings,
// standard output behind its prefixes, and the JSON read back.
#include "log.hpp"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>

#include "log_stats.hpp"

namespace {

// A line as the daemon writes it, at 14:MM:SS on Dec 8 2026.
std::string at(int min, int sec, const std::string& rest) {
  char stamp[64];
  snprintf(stamp, sizeof stamp, "Tue Dec  8 14:%02d:%02d 2026: ", min, sec);
  return stamp + rest + "\n";
}

// The JSON's keys, as the manual lists them: per kind of object, each key's
// type (n number, s string, b bool, a array, o object) and whether every
// such object has it ('!').
struct schema_key {
  const char* object;
  const char* key;
  char type;
  bool always;
};
const schema_key kSchema[] = {
    {"file", "schema", 'n', true},
    {"file", "file", 's', false},
    {"file", "output_file", 's', false},
    {"file", "error", 's', false},
    {"file", "run_file", 'b', true},
    {"file", "program_directory", 's', true},
    {"file", "directory_ok", 'b', true},
    {"file", "first_time", 's', false},
    {"file", "first_epoch", 'n', false},
    {"file", "last_time", 's', false},
    {"file", "last_epoch", 'n', false},
    {"file", "clock_back_line", 'n', false},
    {"file", "clock_jump_line", 'n', false},
    {"file", "clock_jump", 'n', false},
    {"file", "lines", 'n', true},
    {"file", "events_total", 'n', true},
    {"file", "events_omitted", 'n', true},
    {"file", "damaged", 'n', true},
    {"file", "cut", 'b', true},
    {"file", "segfaults_at_least", 'n', true},
    {"file", "outcomes", 'a', true},
    {"file", "events", 'a', true},
    {"file", "output", 'a', false},
    {"file", "output_omitted", 'n', false},
    {"file", "children", 'a', true},
    {"file", "warnings", 'a', true},
    {"event", "line", 'n', true},
    {"event", "kind", 's', true},
    {"event", "time", 's', false},
    {"event", "epoch", 'n', false},
    {"event", "after_time", 's', false},
    {"event", "after_epoch", 'n', false},
    {"event", "before_time", 's', false},
    {"event", "before_epoch", 'n', false},
    {"event", "child", 's', false},
    {"event", "text", 's', false},
    {"event", "exited", 'b', false},
    {"event", "code", 'n', false},
    {"event", "cause", 's', false},
    {"event", "cause_text", 's', false},
    {"event", "next", 's', false},
    {"event", "next_text", 's', false},
    {"event", "restart_code", 'n', false},
    {"event", "delay", 'n', false},
    {"event", "segfaults", 'n', false},
    {"event", "ran", 'n', false},
    {"event", "waited", 'n', false},
    {"output", "line", 'n', true},
    {"output", "kind", 's', true},
    {"output", "number", 'n', false},
    {"output", "text", 's', true},
    {"child", "name", 's', true},
    {"child", "configured", 'b', true},
    {"child", "watched", 'b', true},
    {"child", "ends", 'n', true},
    {"child", "causes", 'a', true},
    {"child", "crash_loop", 'n', true},
    {"child", "heartbeat_kills", 'n', true},
    {"child", "upgrades", 'n', true},
    {"child", "cannot_start", 'n', true},
    {"child", "last_end_line", 'n', false},
    {"cause", "cause", 's', true},
    {"cause", "code", 'n', true},
    {"cause", "count", 'n', true},
    {"cause", "text", 's', true},
    {"warning", "id", 's', true},
    {"warning", "text", 's', true},
    {"warning", "child", 's', false},
    {"warning", "count", 'n', false},
    {"warning", "line", 'n', false},
};
// The identifiers a string key may take.
const std::map<std::string, std::string> kIdentifiers = {
    {"kind",
     " end not_alive checker_failed damaged fell_back ended segv_delay normal_delay "
     "exec_failed copy_failed waitpid_failed fork_failed no_such_pid startup_failed "},
    {"cause",
     " exit_status cannot_start unpack_package install_blob record_version new_cycle "
     "signal segfault heartbeat_kill "},
    {"next", " restart new_cycle upgrade fallback fallback_or_end minder_ended "},
    {"id",
     " not_run_file cannot_start startup_failed minder_ended fork_failed waitpid_failed "
     "copy_failed crash_loop segfault_backoff heartbeat_kill repeated_upgrade "
     "checker_failed backoff_wait "},
    {"outcomes",
     " upgrade_taken fallback fallback_or_end crash_loop heartbeat_kills "
     "minder_ended nothing_notable "},
};

// Every key of o known, of its type, with its identifiers; the ones every
// such object has there; times ISO 8601 and whole epoch seconds.
void check_object(const cJSON* o, const std::string& object) {
  ASSERT_TRUE(cJSON_IsObject(o)) << object;
  for (const schema_key& k : kSchema)
    if (object == k.object && k.always) {
      EXPECT_TRUE(cJSON_HasObjectItem(o, k.key)) << k.key;
    }
  for (const cJSON* item = o->child; item; item = item->next) {
    const schema_key* k = nullptr;
    for (const schema_key& candidate : kSchema)
      if (object == candidate.object && strcmp(item->string, candidate.key) == 0) k = &candidate;
    ASSERT_TRUE(k) << object << " has no key " << item->string;
    bool typed = k->type == 'n'   ? cJSON_IsNumber(item)
                 : k->type == 's' ? cJSON_IsString(item)
                 : k->type == 'b' ? cJSON_IsBool(item)
                 : k->type == 'a' ? cJSON_IsArray(item)
                                  : cJSON_IsObject(item);
    EXPECT_TRUE(typed) << object << "." << k->key;
    if (cJSON_IsNumber(item)) {
      EXPECT_EQ(item->valuedouble, static_cast<double>(static_cast<long long>(item->valuedouble)));
    }
    std::string key = item->string;
    if (key.size() >= 4 && key.compare(key.size() - 4, 4, "time") == 0) {
      int y, mo, d, h, mi, se;
      char tail;
      EXPECT_EQ(
          sscanf(item->valuestring, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &tail),
          6)
          << item->valuestring;
    }
    auto ids = kIdentifiers.find(key);
    if (ids != kIdentifiers.end() && cJSON_IsString(item)) {
      EXPECT_NE(ids->second.find(" " + std::string(item->valuestring) + " "), std::string::npos)
          << key << ": " << item->valuestring;
    }
  }
}

void check_array(const cJSON* o, const char* key, const char* object) {
  for (const cJSON* item = cJSON_GetObjectItem(o, key) ? cJSON_GetObjectItem(o, key)->child
                                                       : nullptr;
       item; item = item->next) {
    if (!object) {
      EXPECT_NE(kIdentifiers.at(key).find(" " + std::string(item->valuestring) + " "),
                std::string::npos)
          << item->valuestring;
      continue;
    }
    check_object(item, object);
    if (strcmp(object, "child") == 0) check_array(item, "causes", "cause");
  }
}

// r's JSON, printed on one line and read back, against the schema.
void check_schema(const log_result& r) {
  std::unique_ptr<char, void (*)(void*)> text(
      cJSON_PrintUnformatted(log_to_json(r, "dev.run", "dev.out").get()), cJSON_free);
  ASSERT_EQ(strchr(text.get(), '\n'), nullptr);
  json_ptr back(cJSON_Parse(text.get()));
  ASSERT_TRUE(back) << text.get();
  check_object(back.get(), "file");
  EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(back.get(), "schema")), 1);
  check_array(back.get(), "events", "event");
  check_array(back.get(), "output", "output");
  check_array(back.get(), "children", "child");
  check_array(back.get(), "warnings", "warning");
  check_array(back.get(), "outcomes", nullptr);
}

// Every scenario parsed here is checked against the schema too.
log_result checked(log_result r) {
  check_schema(r);
  return r;
}

log_result parse(const std::string& run, const char* output = nullptr) {
  log_input in;
  in.run_text = run;
  in.has_output = output != nullptr;
  if (output) in.output_text = output;
  return checked(parse_log(in));
}

// Everything the tool can write about r, in one text.
std::string views(const log_result& r) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  explain_log(out, r, timeline_mode::always);
  write_log_svg(out, {{"t<&>", &r}, {"again", &r}});
  std::unique_ptr<char, void (*)(void*)> json(cJSON_Print(log_to_json(r).get()), cJSON_free);
  fputs(json.get(), out);
  json_ptr back(cJSON_Parse(json.get()));
  EXPECT_TRUE(back) << json.get();
  fclose(out);
  std::string text(buf, len);
  free(buf);
  return text;
}

}  // namespace

TEST(Log, MatchesTheDaemonsFormats) {
  struct {
    const char* format;
    std::string text, fields;  // "-": no match
  } rows[] = {
      {"%s: %s killed by signal(%d)\n", "T: a: b killed by signal(-9)", "[T][a: b][-9]"},
      {"%s: %s exited normally with code(%d)\n", "T: x exited normally with code()", "-"},
      {"%s is not alive, and we will kill it.\n", " is not alive, and we will kill it.", "[]"},
      {"failed to exec %s, error is %s\n", "failed to exec a, error is b, error is c",
       "[a][b, error is c]"},
      {"No such pid(%d) for reexec\n", "No such pid(12345678901) for reexec", "-"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> f;
    std::string got = "-";
    if (match_format(row.format, row.text, &f)) {
      got.clear();
      for (const std::string& field : f) got += "[" + field + "]";
    }
    EXPECT_EQ(got, row.fields) << row.text;
  }
}

TEST(Log, ReadsWhatTheProtocolMakesCertain) {
  std::string head = "/opt/app/bin\n";
  log_result r =
      parse(head + "a is not alive, and we will kill it.\n" + at(0, 0, "a killed by signal(9)") +
            at(0, 5, "b killed by signal(9)") + "b is not alive, and we will kill it.\n" +
            at(0, 9, "b exited normally with code(9)") + at(1, 0, "a killed by signal(11)") +
            at(2, 0, "b killed by signal(11)") + at(12, 30, "a killed by signal(11)") +
            at(33, 30, "b killed by signal(15)") + at(34, 0, "a killed by signal(11)"));
  struct {
    end_cause cause;
    int restart_code, delay;
  } want[] = {{end_cause::heartbeat_kill, 199, 10}, {end_cause::signal, 9, 10},
              {end_cause::exit_status, 199, 10},    {end_cause::segfault, 11, 60},
              {end_cause::segfault, 11, 660},       {end_cause::segfault, 11, 1260},
              {end_cause::signal, 15, 10},          {end_cause::segfault, 11, 7200}};
  size_t k = 0;
  for (const log_event& e : r.events) {
    if (e.kind != log_kind::end) continue;
    ASSERT_LT(k, sizeof want / sizeof want[0]);
    EXPECT_EQ(e.cause, want[k].cause) << e.line;
    EXPECT_EQ(e.restart_code, want[k].restart_code) << e.line;
    EXPECT_EQ(e.delay, want[k++].delay) << e.line;
  }
  // Runs count from the restart: the end's time plus its delay.
  EXPECT_EQ(r.events[7].ran, 630);
  EXPECT_EQ(r.events[9].ran, 30);
  EXPECT_EQ(r.events[8].waited, 1260);  // logged as the back-off ended

  // A 129 is followed by the fallback when anything follows it; else only
  // standard output tells.
  std::string cannot = head + at(0, 0, "a exited normally with code(129)");
  EXPECT_EQ(parse(cannot + at(0, 1, "b exited normally with code(3)")).events[0].next,
            next_step::fallback);
  EXPECT_EQ(parse(cannot).events[0].next, next_step::fallback_or_end);
  EXPECT_EQ(parse(cannot, "<3>minder[7]: failed for normal boot, exit\n").events[0].next,
            next_step::minder_ended);
  log_result fell = parse(cannot,
                          "Dec  8 dev minder: failed boot, then clean bootchk, and try "
                          "again\r\nxfailed for normal boot, exit\n");
  EXPECT_EQ(fell.events[0].next, next_step::fallback);
  EXPECT_EQ(fell.output.size(), 1u);  // a message inside a word is none
}

TEST(Log, DamagedInputIsShownNeverFatal) {
  std::string binary;
  for (int i = 0; i < 2048; ++i) binary += static_cast<char>(i * 7 % 256);
  const std::string cut = "/opt/app/bin\n" + at(0, 0, "a killed by signal(11)");
  struct {
    std::string text;
    bool run_file;
    int damaged;
  } rows[] = {
      {"", false, 0},
      {binary, false, static_cast<int>(std::count(binary.begin(), binary.end(), '\n'))},
      {cut.substr(0, cut.size() - 5), true, 1},
      {cut + std::string(100000, ':') + "\n" + cut.substr(13), true, 1},
      {"/p\n" + at(0, 0, "<x&\"y\"> killed by signal(11)") +
           "Mon Feb 30 99:99:99 2026: a killed "
           "by signal(1)\n" +
           at(0, 0, std::string("\x01\xff\0z", 4) + " killed by signal(1)"),
       true, 1},
  };
  for (const auto& row : rows) {
    log_result r = parse(row.text, row.text.c_str());
    EXPECT_EQ(r.run_file, row.run_file) << row.text.size();
    EXPECT_EQ(r.damaged, row.damaged) << row.text.size();
    std::string text = views(r);
    EXPECT_EQ(text.find_first_of(std::string("\0\r\x01\x7f\xff", 5)), std::string::npos);
    EXPECT_EQ(text.find("t<&>"), std::string::npos);
  }
}

// Each warning from its threshold on and not below it; the config tells which
// children the heartbeat checker watches.
TEST(Log, WarnsFromEachThresholdOn) {
  auto ends = [](int min, int n, const std::string& end) {  // 1 s after each restart
    std::string text;
    for (int i = 0; i < n; ++i) text += at(min, i * 11, end);
    return text;
  };
  const std::string a3 = "a exited normally with code(3)", seg = " killed by signal(11)";
  const std::string b_killed =
      "b is not alive, and we will kill it.\n" + at(0, 5, "b killed by signal(9)");
  struct {
    std::string run, output, want;  // want "": no warning; else the warnings start so
    std::vector<log_child> config = {};
  } rows[] = {
      {ends(0, 2, a3), "", ""},
      {ends(0, 3, a3), "",
       "crash loop: a ended 3 times in a row, each within 5 min of its start, the last at Tue Dec "
       " 8 14:00:22 2026: exit status 3\n"},
      // A run of 300 s is no quick end and counts again from 0; one of 299 s is one.
      {at(0, 0, a3) + at(5, 10, a3) + ends(6, 2, a3), "", ""},
      {at(0, 0, a3) + at(5, 9, a3) + ends(6, 2, a3), "", "crash loop: a ended 4 times"},
      {ends(0, 2, a3) + ends(1, 2, "b exited normally with code(3)"), "", ""},
      {ends(0, 2, a3) + at(1, 0, "a exited normally with code(160)") + at(1, 1, a3), "", ""},
      {at(0, 0, "a exited normally with code(130)") + at(1, 0, "b exited normally with code(131)") +
           at(2, 0, "a exited normally with code(132)"),
       "", ""},
      {at(0, 0, "a exited normally with code(130)") + at(1, 0, "a exited normally with code(131)") +
           at(2, 0, "a exited normally with code(132)"),
       "",
       "a asked for an upgrade 3 times, the last at Tue Dec  8 14:02:00 2026 (exit 132, asks to "
       "record the version): a package that never takes\n"},
      // The fourth segfault since minder started, whichever child, waits 7200 s.
      {at(0, 0, "a" + seg) + at(1, 5, "b" + seg) + at(12, 10, "a" + seg), "", ""},
      {at(0, 0, "a" + seg) + at(1, 5, "b" + seg) + at(12, 10, "a" + seg) + at(33, 20, "b" + seg),
       "",
       "segfault back-off at 7200 s: at least 4 segfaults since minder started; b's next start "
       "is due at Tue Dec  8 16:33:20 2026\n"},
      {at(0, 0, "a" + seg), "Will restart segv prog after 1260 secs\n", ""},
      {at(0, 0, "a" + seg) + at(9, 0, a3),
       "Dec  8 dev minder: Will restart segv prog after 7200 secs\n",
       "segfault back-off at 7200 s: at least 4 segfaults since minder started\n"},
      {"create pthread check_alive failed\n", "",
       "create pthread check_alive failed (line 2): no heartbeat checks in this run of minder\n"},
      {"a is not alive, and we will kill it.\n" + at(0, 0, "a killed by signal(9)") + b_killed,
       "",
       "a killed by the heartbeat checker once, the last at Tue Dec  8 14:00:00 2026: its "
       "heartbeat file stayed away for three checks in a row\nb killed by the heartbeat checker "
       "once, the last at Tue Dec  8 14:00:05 2026 (the config does not watch it): its",
       {{"a", true, true}, {"b", true, false}}},
      {b_killed, "",
       "b killed by the heartbeat checker once, the last at Tue Dec  8 14:00:05 2026: its"},
      {at(0, 0, "b killed by signal(9)") + "c is not alive, and we will kill it.\n", "",
       "c being killed by the heartbeat checker as the file ends, after its \"is not alive\" line: "
       "its heartbeat file"},
  };
  for (const auto& row : rows) {
    log_input in;
    in.run_text = "/opt/app/bin\n" + row.run;
    in.output_text = row.output;
    in.has_output = true;
    in.children = row.config;
    std::string got;
    for (const std::string& w : log_warnings(checked(parse_log(in)))) got += w + "\n";
    EXPECT_EQ(got.substr(0, row.want.empty() ? std::string::npos : row.want.size()), row.want)
        << row.run;
  }
}

// minder's standard output as a console, a file or a system log holds it:
// each message found behind any prefix, kept in the JSON, warned of when it
// tells what the run file does not.
TEST(Log, ReadsTheStandardOutputBehindAnyPrefix) {
  struct {
    std::string prefix, message;
    const char* kind;  // "": none of minder's
  } rows[] = {
      {"Dec  8 14:03:09 dev minder[12]: ", "Will restart segv prog after 660 secs", "segv_delay"},
      {"[   12.345678] ", "Will restart normal prog after 10 secs", "normal_delay"},
      {"<3>", "failed to fork", "fork_failed"},
      {"2026-12-08T14:03:09 |", "failed to waitpid", "waitpid_failed"},
      {"\t", "mkdir (/tmp/.uci/) error: No space left on device", "startup_failed"},
      {"x:", "No such pid(123) for reexec", "no_such_pid"},
      {"x", "failed to fork", ""},
      {"", "failed to fork now", ""},
      {std::string(kLongestLine, ' '), "failed to fork", ""},
  };
  for (const auto& row : rows) {
    json_ptr json = log_to_json(parse("/opt/app/bin\n", (row.prefix + row.message + "\n").c_str()));
    cJSON* output = cJSON_GetObjectItem(json.get(), "output");
    ASSERT_EQ(cJSON_GetArraySize(output), *row.kind ? 1 : 0) << row.message;
    if (!*row.kind) continue;
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(output->child, "kind")), row.kind);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(output->child, "text")),
                 row.message.c_str());
  }
  std::string warnings;
  for (const std::string& w :
       log_warnings(parse("/opt/app/bin\n" + at(0, 0, "a exited normally with code(129)"),
                          "failed to exec ../data//ab, error is Exec format error\n"
                          "failed to exec ../data//a, error is No such file or directory\n"
                          "failed for normal boot, exit\nfailed to waitpid\n"
                          "Failed to read or write, in, 3, out, 4\nprocess(minder) already run\n")))
    warnings += w + "\n";
  EXPECT_EQ(warnings,
            "a cannot be started: exit 129 once, the last at Tue Dec  8 14:00:00 2026: no "
            "boot-check record was left to remove, and minder ended; standard output, line 2: "
            "failed to exec ../data//a, error is No such file or directory\n"
            "minder had no child left to wait for: standard output, line 4: failed to waitpid\n"
            "the script blob was not installed: standard output, line 5: Failed to read or write, "
            "in, 3, out, 4\n"
            "minder ended at start-up: standard output, line 6: process(minder) already run\n");
  // The run file cut back past the 129: standard output still tells.
  EXPECT_EQ(log_warnings(parse("/opt/app/bin\n", "failed for normal boot, exit\n")).at(0),
            "a cycle failed with no boot-check record to remove: minder ended: standard output, "
            "line 1: failed for normal boot, exit");
}

// The JSON, printed and read back, holds every event and the summary's counts
// and warnings.
TEST(Log, JsonReadsBackWithEveryEvent) {
  const std::string seg = "a killed by signal(11)";
  log_result r = parse("/opt/app/bin\n" + at(0, 0, seg) + at(1, 1, seg) + at(12, 2, seg) +
                           "b is not alive, and we will kill it.\n" + "odd \"line\"\n" +
                           at(13, 0, "b exited normally with code(9)") +
                           at(14, 0, "b exited normally with code(130)") + at(14, 5, "a exited"),
                       "Will restart segv prog after 7200 secs\n");
  std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(log_to_json(r).get()),
                                              cJSON_free);
  json_ptr back(cJSON_Parse(text.get()));
  ASSERT_TRUE(back) << text.get();
  auto number = [](cJSON* o, const char* key) {
    cJSON* item = cJSON_GetObjectItem(o, key);
    return item ? cJSON_GetNumberValue(item) : -1;
  };
  cJSON* events = cJSON_GetObjectItem(back.get(), "events");
  std::string kinds;
  for (cJSON* e = events ? events->child : nullptr; e; e = e->next)
    kinds += std::string(cJSON_GetStringValue(cJSON_GetObjectItem(e, "kind"))) + " ";
  EXPECT_EQ(kinds, "end end end not_alive damaged end end damaged ");
  EXPECT_EQ(number(back.get(), "damaged"), 2);
  EXPECT_EQ(number(back.get(), "segfaults_at_least"), 4);
  cJSON* third = cJSON_GetArrayItem(events, 2);
  EXPECT_EQ(number(third, "segfaults"), 3);
  EXPECT_EQ(number(third, "delay"), 1260);
  EXPECT_EQ(number(third, "ran"), 1);
  EXPECT_EQ(number(cJSON_GetArrayItem(events, 5), "restart_code"), 199);
  EXPECT_EQ(number(cJSON_GetArrayItem(events, 6), "delay"), -1);  // an upgrade: no delay
  cJSON* b = cJSON_GetArrayItem(cJSON_GetObjectItem(back.get(), "children"), 1);
  EXPECT_EQ(number(b, "ends"), 2);
  cJSON* upgrade = cJSON_GetArrayItem(cJSON_GetObjectItem(b, "causes"), 1);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(upgrade, "cause")), "unpack_package");
  EXPECT_EQ(number(upgrade, "count"), 1);
  std::vector<std::string> want = log_warnings(r);
  cJSON* warnings = cJSON_GetObjectItem(back.get(), "warnings");
  ASSERT_EQ(cJSON_GetArraySize(warnings), static_cast<int>(want.size()));
  for (size_t i = 0; i < want.size(); ++i) {
    cJSON* w = cJSON_GetArrayItem(warnings, static_cast<int>(i));
    EXPECT_EQ(cJSON_GetStringValue(cJSON_GetObjectItem(w, "text")), want[i]);
  }
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(cJSON_GetArrayItem(warnings, 0), "id")),
               "crash_loop");
}

// Past kKeptEvents the events are counted, not kept: the summary, the
// warnings and the JSON's counts cover the whole file; a long damaged line
// keeps only its start.
TEST(Log, BoundedAtAnySize) {
  std::string run = "/opt/app/bin\n";
  const size_t ends = kKeptEvents + 500;
  for (size_t i = 0; i < ends; ++i) {
    char line[96];
    snprintf(line, sizeof line,
             "Tue Dec  8 %02zu:%02zu:%02zu 2026: a exited normally with code(3)\n", i / 3600 % 24,
             i / 60 % 60, i % 60);
    run += line;
  }
  run += std::string(kLongestLine * 2, 'x') + "\n" + std::string(kKeptText * 3, 'y') + "\n";
  log_result r = parse(run);
  EXPECT_EQ(r.events.size(), kKeptEvents);
  EXPECT_EQ(r.event_count, static_cast<int>(ends) + 2);
  EXPECT_EQ(r.damaged, 2);
  ASSERT_EQ(r.damaged_lines.size(), 2u);
  EXPECT_EQ(r.damaged_lines[1].text.size(), kKeptText);
  EXPECT_EQ(r.damaged_lines[1].text.capacity() < kLongestLine, true);
  EXPECT_EQ(gather_stats(r).at(0).ends, static_cast<int>(ends));
  EXPECT_EQ(last_end(r)->line, static_cast<int>(ends) + 1);
  EXPECT_EQ(log_warnings(r).at(0).substr(0, 30), "crash loop: a ended 10500 time");
  std::string text = views(r);
  EXPECT_NE(text.find("... and 502 more lines: only the first 10000 are kept"), std::string::npos);
  EXPECT_NE(text.find("exit status 3; next start due at Tue Dec  8 02:55:09 2026"),
            std::string::npos);
  json_ptr json = log_to_json(r);
  EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(json.get(), "events_omitted")), 502);
}

// A clock set ahead is told as such and no run is timed across it; a line
// without a time sits between its neighbours' times in the JSON.
TEST(Log, ClockSetAheadAndUntimedLines) {
  log_result r = parse(
      "/opt/app/bin\nThu Jan  1 00:01:00 1970: a exited normally with code(3)\n"
      "b is not alive, and we will kill it.\n" +
      at(0, 0, "b killed by signal(9)") + at(0, 30, "a exited normally with code(3)") +
      at(1, 0, "a exited normally with code(3)"));
  EXPECT_EQ(r.clock_forward, 4);
  EXPECT_EQ(r.events[3].ran, kNoTime);  // started in 1970, ended in 2026
  EXPECT_EQ(r.events[4].ran, 20);
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  explain_log(out, r, timeline_mode::never);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  EXPECT_NE(text.find("the time jumps ahead by 20795 d 13 h at line 4"), std::string::npos) << text;
  json_ptr json = log_to_json(r);
  cJSON* alive = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "events"), 1);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(alive, "after_time")),
               "1970-01-01T00:01:00");
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(alive, "before_time")),
               "2026-12-08T14:00:00");
}

// The picture shows when each child ran, not only its ends and waits, and
// an illegal instruction as such.
TEST(Log, PictureShowsRunningSpansAndIllegalInstructions) {
  log_result r =
      parse("/opt/app/bin\n" + at(0, 0, "a killed by signal(4)") +
            at(1, 0, "b killed by signal(5)") + at(5, 0, "a exited normally with code(3)"));
  EXPECT_EQ(end_words(r.events[0]), "illegal instruction (signal 4)");
  EXPECT_EQ(end_words(r.events[1]), "killed by signal 5");
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  write_log_svg(out, {{"t", &r}});
  fclose(out);
  std::string svg(buf, len);
  free(buf);
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++n;
    return n;
  };
  // The legend's, a's run between its ends, b's after its restart (a's
  // restart is due after the file's last line).
  EXPECT_EQ(count("class=\"u\"/>"), 3u) << svg;
  EXPECT_EQ(count("class=\"c9\"/>"), 1u);  // a's first end
  EXPECT_EQ(count("class=\"c6\"/>"), 1u);  // b's
}
