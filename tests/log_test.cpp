// SPDX-License-Identifier: MIT
// The run-file explainer on written run files: the matcher, what the protocol
// makes certain, and damaged input, which is shown and never fatal.
#include "log.hpp"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <memory>

namespace {

// A line as the daemon writes it, at 14:MM:SS on Dec 8 2026.
std::string at(int min, int sec, const std::string& rest) {
  char stamp[64];
  snprintf(stamp, sizeof stamp, "Tue Dec  8 14:%02d:%02d 2026: ", min, sec);
  return stamp + rest + "\n";
}

log_result parse(const std::string& run, const char* output = nullptr) {
  log_input in;
  in.run_text = run;
  in.has_output = output != nullptr;
  if (output) in.output_text = output;
  return parse_log(in);
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
