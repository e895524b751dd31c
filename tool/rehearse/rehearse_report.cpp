// SPDX-License-Identifier: MIT
// The rehearsal's report: per phase and child, where it started from and with
// which arguments, its ends and their causes as the run-file explainer reads
// them, the record after the phase, and the problems found.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "common.hpp"
#include "log.hpp"
#include "rehearsal.hpp"

namespace {

log_result explain(const rehearsal& r, const phase_result& p) {
  log_input in;
  in.run_text = p.run_text;
  in.output_text = p.out_text;
  in.has_output = true;
  for (const std::string& c : r.children)
    in.children.push_back(
        {c, true, std::find(r.watched.begin(), r.watched.end(), c) != r.watched.end()});
  return parse_log(in);
}

const child_start* first_start(const phase_result& p, const std::string& child, double after) {
  for (const child_start& s : p.starts)
    if (s.child == child && !s.requester && s.at >= after) return &s;
  return nullptr;
}

std::string where(const child_start* s) {
  return !s ? "nowhere" : s->from_data ? "../data//" : "the program directory";
}

// What minder said that is a problem.
void out_problems(const phase_result& p, const log_result& log, std::vector<std::string>* out) {
  bool said_end = false;
  for (const out_event& o : log.output) {
    if (o.kind == out_kind::fell_back)
      out->push_back("minder fell back to the shipped programs: \"" + o.text + "\"");
    if (o.kind == out_kind::ended || o.kind == out_kind::startup_failed)
      out->push_back("minder ended: \"" + o.text + "\"");
    said_end = said_end || o.kind == out_kind::ended || o.kind == out_kind::startup_failed;
  }
  if (p.daemon_ended && !said_end) out->push_back("minder ended");
}

// Instances of one child alive at once: one line per child. Under the
// emulator killall misses names of 15 characters or more, which the plan's
// note says; the board's killall does not.
void overlap_problems(const rehearsal& r, const phase_result& p, std::vector<std::string>* out) {
  std::vector<std::string> said;
  for (const overlap_seen& o : p.overlaps) {
    if (std::find(said.begin(), said.end(), o.child) != said.end() ||
        (!r.qemu_cpu.empty() && o.child.size() >= 15))
      continue;
    said.push_back(o.child);
    char text[160];
    snprintf(text, sizeof text,
             " ran twice at once from %.1f s: the one started at %.1f s was not ended", o.at,
             o.earlier);
    out->push_back(o.child + text);
  }
}

}  // namespace

std::vector<std::string> phase_problems(const rehearsal& r, int phase,
                                        const std::vector<phase_result>& phases,
                                        const log_result& log) {
  std::vector<std::string> out;
  const phase_result& p = phases[static_cast<size_t>(phase) - 1];
  if (!p.setup.empty()) return {"the phase could not run: " + p.setup};
  for (const std::string& fails : p.root_fails) out.push_back(fails);
  for (const std::string& e : end_problems(r, phase, p, log)) out.push_back(e);
  out_problems(p, log, &out);
  overlap_problems(r, p, &out);
  if (phase == 2 && p.request < 0)
    out.push_back("no request: " + r.children[0] + " did not end with 130");
  if (phase == 2 && !p.data_mode)
    out.push_back("the upgrade did not select data mode: " + p.record_why);
  if (phase == 2) out.insert(out.end(), r.ignored.begin(), r.ignored.end());
  if (phase != 3) return out;
  const phase_result& upgraded = phases[1];
  for (const std::string& c : r.children) {
    const child_start* then = first_start(upgraded, c, std::max(upgraded.request, 0.0));
    const child_start* now = first_start(p, c, 0);
    if (!now || !then || now->from_data != then->from_data)
      out.push_back(c + " started from " + where(now) + " after the reboot, from " + where(then) +
                    " after the request");
  }
  return out;
}

namespace {

// The child's starts and ends in the order they came, with the seconds since
// the phase began.
void print_child(const phase_result& p, const log_result& log, const std::string& child) {
  std::vector<std::pair<double, std::string>> lines;
  for (const child_start& s : p.starts) {
    if (s.child != child) continue;
    std::string args = (s.from_data ? "../data//" : "") + s.child;
    for (const std::string& a : s.args) args += " " + a;
    lines.push_back({s.at, (s.requester ? "the requester started: " : "started: ") + args});
  }
  for (size_t i = 0; i < log.events.size(); ++i) {
    const log_event& e = log.events[i];
    if (e.kind != log_kind::end || e.child != child) continue;
    double at = i < p.event_at.size() ? p.event_at[i] : p.seconds;
    lines.push_back({at, "ended: " + end_words(e) + "; minder: " + next_words(e)});
  }
  std::stable_sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.first < b.first; });
  printf("  %s\n", printable(child).c_str());
  for (auto& [at, text] : lines) printf("    %5.1f s  %s\n", at, printable(text).c_str());
}

void print_phase(const rehearsal& r, int phase, const phase_result& p, const log_result& log,
                 const std::vector<std::string>& problems) {
  printf("\nphase %d, %s: ", phase, p.title);
  if (phase == 2 && p.request >= 0)
    printf("the request at %.1f s, then %d s\n", p.request, p.seconds);
  else
    printf("%d s\n", p.seconds);
  for (const std::string& c : r.children) print_child(p, log, c);
  if (p.unread)
    printf("  note: %d program(s) started that could not be read: a start may be missing\n",
           p.unread);
  for (const out_event& o : log.output)
    if (o.kind != out_kind::normal_delay && o.kind != out_kind::segv_delay &&
        o.kind != out_kind::no_such_pid)
      printf("  minder said: %s\n", printable(o.text).c_str());
  printf("  record after it: %s%s%s\n", p.record.empty() ? "" : p.record.c_str(),
         p.record.empty() ? "" : ": ", p.record_why.c_str());
  if (problems.empty()) printf("  verdict: no problem\n");
  for (const std::string& what : problems) printf("  problem: %s\n", printable(what).c_str());
  for (const std::string& note : length_notes(r, phase)) printf("  note: %s\n", note.c_str());
}

void write_svg(const rehearsal& r, const std::vector<phase_result>& phases,
               const std::vector<log_result>& logs,
               const std::vector<std::vector<std::string>>& problems) {
  std::string tmp = r.svg + ".tmp";
  unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  bool created = fd.get() >= 0;  // else tmp, if there, is not ours to remove
  FILE* f = created ? fdopen(fd.get(), "w") : nullptr;
  if (f) fd.release();
  bool written = f && (write_rehearsal_svg(f, r, phases, logs, problems), !ferror(f));
  if (f && fclose(f) != 0) written = false;
  if (!written || rename(tmp.c_str(), r.svg.c_str()) != 0) {
    printf("%s: not written: %s\n", r.svg.c_str(), strerror(errno));
    if (created) unlink(tmp.c_str());
    return;
  }
  printf("%s: the phases' timelines\n", r.svg.c_str());
}

}  // namespace

int report_rehearsal(const rehearsal& r, const std::vector<phase_result>& phases) {
  std::vector<log_result> logs;
  std::vector<std::vector<std::string>> all;
  int problems = 0;
  for (size_t i = 0; i < phases.size(); ++i) {
    logs.push_back(explain(r, phases[i]));
    std::vector<std::string> found = phase_problems(r, static_cast<int>(i) + 1, phases, logs[i]);
    print_phase(r, static_cast<int>(i) + 1, phases[i], logs[i], found);
    problems += static_cast<int>(found.size());
    all.push_back(found);
  }
  if (!r.svg.empty()) write_svg(r, phases, logs, all);
  if (problems)
    printf("\nrehearse: %d problem(s): on the board this %s would not run as it should\n", problems,
           r.package.empty() ? "program directory" : "upgrade");
  else
    printf("\nrehearse: no problem\n");
  fflush(stdout);
  return problems ? 1 : 0;
}
