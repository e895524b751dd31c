// SPDX-License-Identifier: MIT
// Watching one phase of a rehearsal, in PID 1.
#include "watch.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>

#include "log.hpp"
#include "sandbox.hpp"

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void follow(const std::string& path, std::unique_ptr<unique_fd>* fd, std::string* text) {
  constexpr size_t kMost = 16u << 20;
  if (!*fd || (*fd)->get() < 0)
    *fd = std::make_unique<unique_fd>(
        open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char buf[65536];
  for (ssize_t n; text->size() < kMost && (*fd)->get() >= 0 &&
                  (n = read((*fd)->get(), buf, std::min(sizeof buf, kMost - text->size()))) > 0;)
    text->append(buf, static_cast<size_t>(n));
}

double since(const watch& w) {
  return now() - w.start;
}

namespace {

// A line about the phase on standard error, over the progress line on a terminal.
void tell(watch& w, const std::string& text) {
  fprintf(stderr, "%sphase %d %6.1f s  %s\n", w.tty ? "\r\033[K" : "", w.phase, since(w),
          printable(text).c_str());
  w.shown_left = -1;
}

void progress(watch& w) {
  int left = static_cast<int>(w.deadline - now() + 0.999);
  if (!w.tty || left == w.shown_left || left < 0) return;
  w.shown_left = left;
  fprintf(stderr, "\r\033[Kphase %d, %s: %d s left%s", w.phase, w.out->title, left,
          w.phase == 2 && w.out->request < 0 ? " for the request" : "");
}

// New ends and messages, as the explainer reads them.
void tell_log(watch& w) {
  log_input in;
  in.run_text = w.out->run_text.substr(0, w.out->run_text.rfind('\n') + 1);
  in.output_text = w.out->out_text.substr(0, w.out->out_text.rfind('\n') + 1);
  in.has_output = true;
  log_result log = parse_log(in);
  for (; w.events_told < log.events.size(); ++w.events_told) {
    const log_event& e = log.events[w.events_told];
    w.out->event_at.push_back(since(w));
    if (e.kind == log_kind::not_alive) tell(w, e.child + " is not alive: the checker kills it");
    if (e.kind != log_kind::end) continue;
    tell(w, e.child + " ended: " + end_words(e));
    if (w.phase == 2 && w.out->request < 0 && e.exited && e.code == kExitUnpackPackage &&
        e.child == w.r.children[0]) {
      w.out->request = since(w);
      w.deadline = now() + w.r.seconds[1];
    }
  }
  for (; w.output_told < log.output.size(); ++w.output_told) {
    const out_event& o = log.output[w.output_told];
    if (o.kind == out_kind::exec_failed || o.kind == out_kind::fell_back ||
        o.kind == out_kind::ended || o.kind == out_kind::startup_failed)
      tell(w, "minder: " + o.text);
  }
}

bool first_of(const std::vector<child_start>& starts, const std::string& child) {
  for (const child_start& s : starts)
    if (s.child == child) return false;
  return true;
}

// An exec in the namespace: a start when the daemon executes a child's program.
void take_exec(watch& w) {
  exec_seen e;
  child_start s;
  std::string proc = watcher_proc(w.r);
  if (!next_exec(w.listener, proc, &e)) {
    ++w.out->unread;
    return;
  }
  // A child the daemon started; its parent unknown only when the process table failed.
  int parent = parent_of(proc, e.pid);
  if (!child_of_exec(e, w.r.children, &s) || (parent != w.daemon && parent != 0)) return;
  s.at = since(w);
  s.pid = e.pid;
  // In phase 2 the first child's first start is the requester's.
  s.requester = w.phase == 2 && s.child == w.r.children[0] && first_of(w.out->starts, s.child);
  w.out->starts.push_back(s);
  std::string args;
  for (const std::string& a : s.args) args += " " + a;
  tell(w, s.child + (s.requester ? " (the requester)" : "") + " started as " +
              (s.from_data ? "../data//" : "") + s.child + args);
}

// Whether the process is alive and not yet reaped.
bool alive(const std::string& proc, int pid) {
  std::string stat, why;
  if (pid <= 0 || !read_text(proc + "/" + std::to_string(pid) + "/stat", &stat, &why)) return false;
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

// Two starts of one child both alive, twice a second apart: the earlier one
// was not ended (minder kills every instance before it starts a child anew).
void check_overlaps(watch& w) {
  if (now() - w.overlaps_checked < 0.5) return;
  w.overlaps_checked = now();
  std::string proc = watcher_proc(w.r);
  const std::vector<child_start>& starts = w.out->starts;
  std::vector<watch::pair_seen> still;
  for (size_t later = 0; later < starts.size(); ++later) {
    for (size_t earlier = 0; earlier < later; ++earlier) {
      if (starts[earlier].child != starts[later].child || !alive(proc, starts[later].pid) ||
          !alive(proc, starts[earlier].pid))
        continue;
      auto seen = std::find_if(w.suspects.begin(), w.suspects.end(),
                               [&](auto& p) { return p.earlier == earlier && p.later == later; });
      double first = seen == w.suspects.end() ? now() : seen->since;
      if (now() - first >= 1.0 && first > 0) {
        w.out->overlaps.push_back({starts[later].child, starts[later].at, starts[earlier].at});
        char text[96];
        snprintf(text, sizeof text, " runs twice at once: the one started at %.1f s was not ended",
                 starts[earlier].at);
        tell(w, starts[later].child + text);
        first = -1;  // told once
      }
      still.push_back({earlier, later, first});
    }
  }
  w.suspects = still;
}

}  // namespace

void poll_phase(watch& w, const std::string& run_path, const std::string& out_path) {
  while (now() < w.deadline) {
    pollfd p = {w.listener, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) take_exec(w);
    pollfd e = {w.exec_fd, POLLIN, 0};
    if (w.exec_fd >= 0 && poll(&e, 1, 0) > 0) {
      int err = 0;
      bool failed = read(w.exec_fd, &err, sizeof err) == sizeof err;
      w.exec_errno = failed ? err : 0;
      w.deadline = failed ? now() : now() + w.r.seconds[w.phase - 1];
      w.exec_fd = -1;
    }
    int status = 0;
    for (pid_t p; (p = waitpid(-1, &status, WNOHANG)) > 0;)
      if (p == w.daemon && !w.out->daemon_ended) {
        w.out->daemon_ended = true;
        w.deadline = std::min(w.deadline, now() + 0.5);  // its last words
      }
    size_t run = w.out->run_text.size();
    follow(run_path, &w.run_fd, &w.out->run_text);
    follow(out_path, &w.out_fd, &w.out->out_text);
    // The explainer reads it all again: at most every quarter second for output alone.
    if (w.out->run_text.size() != run ||
        (w.out->out_text.size() != w.told_output && now() - w.told_at > 0.25)) {
      tell_log(w);
      w.told_output = w.out->out_text.size();
      w.told_at = now();
    }
    check_overlaps(w);
    progress(w);
  }
  if (w.out->daemon_ended) tell(w, "minder ended");
}
