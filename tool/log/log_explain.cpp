// SPDX-License-Identifier: MIT
// A parsed run file explained: the summary, per child, and the warnings,
// the worst first.
#include <stdio.h>

#include <algorithm>

#include "log.hpp"
#include "log_stats.hpp"
#include "supervise.hpp"

namespace {

constexpr size_t kShortFile = 40;  // events that make a timeline by default
constexpr size_t kShown = 10;      // lines of a kind listed before "and N more"

std::string where(const log_event& e) {
  std::string line = "line " + std::to_string(e.line);
  return e.stamp.empty() ? line : printable(e.stamp) + " (" + line + ")";
}

std::string plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// When the child runs again after its last end.
std::string after_last(const log_result& r, const log_event& e) {
  if (e.next != next_step::restart || e.when == kNoTime) return next_words(e);
  bool latest = last_end(r) && last_end(r)->line == e.line;
  return (latest ? "next start due at " : "started again at ") + time_text(e.when + e.delay);
}

void write_child(FILE* out, const log_result& r, const log_child& c, const child_stats& s) {
  std::string name = printable(c.name);
  const char* mark = c.watched ? " (watched)" : "";
  const char* unknown = r.config_given && !c.configured ? " (not in the config)" : "";
  if (s.ends == 0) {
    fprintf(out, "  %s%s%s: no end logged%s\n", name.c_str(), mark, unknown,
            s.killing ? "; the heartbeat checker is killing it" : "");
    return;
  }
  fprintf(out, "  %s%s%s: %s\n", name.c_str(), mark, unknown,
          plural(s.ends, "end", "ends").c_str());
  auto causes = s.causes;
  std::stable_sort(causes.begin(), causes.end(),
                   [](const cause_count& a, const cause_count& b) { return a.count > b.count; });
  for (const cause_count& cause : causes)
    fprintf(out, "    %5d  %s\n", cause.count, cause.words.c_str());
  const log_event& e = *s.last;
  std::string ran = e.ran == kNoTime ? "" : ", after " + duration_text(e.ran) + " of running";
  if (!ran.empty() && e.waited) ran += " at most";
  fprintf(out, "    last: %s, %s%s; %s\n", where(e).c_str(), end_words(e).c_str(), ran.c_str(),
          after_last(r, e).c_str());
}

void write_output(FILE* out, const log_result& r) {
  int normal = r.output_count[static_cast<int>(out_kind::normal_delay)];
  int segv = r.output_count[static_cast<int>(out_kind::segv_delay)];
  int no_such_pid = r.output_count[static_cast<int>(out_kind::no_such_pid)];
  int all = 0, segv_last = 0;
  for (int n : r.output_count) all += n;
  std::vector<const out_event*> notable;
  for (const out_event& o : r.output) {
    if (o.kind == out_kind::segv_delay) segv_last = o.number;
    if (o.kind != out_kind::segv_delay && o.kind != out_kind::normal_delay &&
        o.kind != out_kind::no_such_pid)
      notable.push_back(&o);
  }
  std::string lines = plural(all, "line", "lines");
  fprintf(out, "standard output: %s of minder's: %d restarts after 10 s, %d after a segfault",
          lines.c_str(), normal, segv);
  if (segv) fprintf(out, " (the last after %d s)", segv_last);
  fprintf(out, ", %d \"No such pid\" (old children and kill commands collected)\n", no_such_pid);
  for (size_t i = 0; i < notable.size() && i < kShown; ++i)
    fprintf(out, "  line %d: %s\n", notable[i]->line, printable(notable[i]->text).c_str());
  if (notable.size() > kShown) fprintf(out, "  ... and %zu more\n", notable.size() - kShown);
}

void write_damaged(FILE* out, const log_result& r) {
  fprintf(out, "not minder's: %s (cut short, or written by something else)\n",
          plural(r.damaged, "line", "lines").c_str());
  for (const log_event& e : r.damaged_lines) {
    bool cut = r.cut && e.line == r.lines;
    fprintf(out, "  line %d: \"%s\"%s\n", e.line, printable(e.text, 80).c_str(),
            cut ? " (cut short: no end of line)" : "");
  }
  if (static_cast<size_t>(r.damaged) > r.damaged_lines.size())
    fprintf(out, "  ... and %zu more\n", static_cast<size_t>(r.damaged) - r.damaged_lines.size());
}

void write_span(FILE* out, const log_result& r) {
  std::string events = plural(r.event_count - r.damaged, "event", "events");
  if (r.first == kNoTime) {
    fprintf(out, "time: no time stamps; %s\n", events.c_str());
    return;
  }
  fprintf(out, "time: %s to %s", printable(r.first_stamp).c_str(), printable(r.last_stamp).c_str());
  if (r.last >= r.first) fprintf(out, " (%s)", duration_text(r.last - r.first).c_str());
  fprintf(out, "; %s\n", events.c_str());
  if (r.clock_back)
    fprintf(out, "  the time goes back at line %d: the device's clock was set\n", r.clock_back);
  if (r.clock_forward)
    fprintf(out,
            "  the time jumps ahead by %s at line %d: the device's clock was set; no run is "
            "timed across it\n",
            duration_text(r.jump).c_str(), r.clock_forward);
}

void write_summary(FILE* out, const log_result& r, const std::vector<child_stats>& stats) {
  if (r.directory_ok)
    fprintf(out, "program directory: %s\n", printable(r.directory, 4096).c_str());
  else if (!r.events.empty() && r.events[0].line == 1)
    fprintf(out, "no program directory: the file starts with an event, its start is missing\n");
  else
    fprintf(out, "line 1 is no program directory: \"%s\": the start of the file is missing\n",
            printable(r.directory, 80).c_str());
  write_span(out, r);
  if (uint32_t n = segfaults_at_least(r))
    fprintf(out, "segfaults: at least %u since minder started; the next one waits %u s\n", n,
            segv_delay(n + 1));
  if (r.has_output) write_output(out, r);
  if (r.damaged) write_damaged(out, r);
  fprintf(out, "children:\n");
  for (size_t i = 0; i < r.children.size(); ++i) write_child(out, r, r.children[i], stats[i]);
  if (r.children.empty()) fprintf(out, "  none logged\n");
}

}  // namespace

void write_timeline(FILE* out, const log_result& r) {
  fprintf(out, "timeline:\n");
  for (const log_event& e : r.events) {
    std::string what;
    switch (e.kind) {
      case log_kind::end:
        what = printable(e.child) + ": " + end_words(e) + "; " + next_words(e);
        if (e.waited)
          what += " (logged as a " + std::to_string(e.waited) +
                  " s wait of minder's ended: " + "the end may be older)";
        break;
      case log_kind::not_alive:
        what = printable(e.child) + ": no heartbeat file at three checks in a row: the heartbeat " +
               "checker kills it";
        break;
      case log_kind::checker_failed:
        what = "the heartbeat checker could not be started: no child is watched";
        break;
      case log_kind::damaged:
        what = "not minder's: \"" + printable(e.text, 80) + "\"";
        break;
    }
    fprintf(out, "%6d  %-24s  %s\n", e.line, printable(e.stamp, 24).c_str(), what.c_str());
  }
  if (static_cast<size_t>(r.event_count) > r.events.size())
    fprintf(out, "  ... and %zu more lines: only the first %zu are kept\n",
            static_cast<size_t>(r.event_count) - r.events.size(), r.events.size());
}

int explain_log(FILE* out, const log_result& r, timeline_mode mode) {
  std::vector<std::string> warnings = log_warnings(r);
  if (!r.run_file) {  // the one warning says so
    fprintf(out, "%s\n", warnings[0].c_str());
    return 1;
  }
  write_summary(out, r, gather_stats(r));
  fprintf(out, "warnings:%s\n", warnings.empty() ? " none" : "");
  for (const std::string& w : warnings) fprintf(out, "  %s\n", w.c_str());
  if (mode == timeline_mode::always ||
      (mode == timeline_mode::if_short && static_cast<size_t>(r.event_count) <= kShortFile))
    write_timeline(out, r);
  return static_cast<int>(warnings.size());
}
