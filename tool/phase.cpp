// SPDX-License-Identifier: MIT
// One phase of a rehearsal, in PID 1: a fresh /tmp, the daemon started by its
// absolute path in the board's root as init starts it, in real time, watched
// until the phase is over; then everything in the namespace is killed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "log.hpp"
#include "rehearse.hpp"

namespace {

const char* const kTitles[] = {"first boot", "the request", "reboot"};

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Appends what was added to the file at path since the last call.
void follow(const std::string& path, std::unique_ptr<unique_fd>* fd, std::string* text) {
  if (!*fd || (*fd)->get() < 0)
    *fd = std::make_unique<unique_fd>(
        open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char buf[65536];
  for (ssize_t n; (*fd)->get() >= 0 && (n = read((*fd)->get(), buf, sizeof buf)) > 0;)
    text->append(buf, static_cast<size_t>(n));
}

// The daemon as init starts it: a session of its own, standard input from
// /dev/null, its output to out_fd, a plain environment. Only system calls
// between fork and exec; why_fd gets errno when the exec fails.
pid_t start_daemon(const rehearsal& r, int out_fd, int null_fd, int why_fd) {
  std::string path = r.prog + "/" + r.daemon, cpu = "QEMU_CPU=" + r.qemu_cpu;
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  char* envp[] = {const_cast<char*>("PATH=/sbin:/usr/sbin:/bin:/usr/bin"),
                  const_cast<char*>("HOME=/"), const_cast<char*>("TERM=linux"),
                  r.qemu_cpu.empty() ? nullptr : const_cast<char*>(cpu.c_str()), nullptr};
  pid_t pid = fork();
  if (pid != 0) return pid;
  setsid();
  if (dup2(null_fd, 0) >= 0 && dup2(out_fd, 1) >= 0 && dup2(out_fd, 2) >= 0 &&
      chroot(r.root.c_str()) == 0 && chdir("/") == 0)
    execve(argv[0], argv, envp);
  int err = errno;
  if (write(why_fd, &err, sizeof err) < 0) _exit(127);
  _exit(127);
}

// Where phase 2 begins: the package where a child leaves it, and the
// requester in place of the first child.
bool set_up_request(const rehearsal& r, std::string* why) {
  std::string uci = r.root + "/tmp/.uci";
  if (mkdir(uci.c_str(), 01777) != 0 || chmod(uci.c_str(), 01777) != 0) {
    *why = uci + ": " + strerror(errno);
    return false;
  }
  return copy_to(r.work + "/package.tgz", uci + "/qvupgrade.tgz", 0644, why) &&
         install_requester(r, why);
}

struct watch {
  watch(const rehearsal& r, int phase, int listener, phase_result* out)
      : r(r), phase(phase), listener(listener), out(out) {}
  const rehearsal& r;
  int phase;
  int listener;
  phase_result* out;
  double start = now();
  double deadline = 0;
  pid_t daemon = -1;
  std::unique_ptr<unique_fd> run_fd, out_fd;
  size_t events_told = 0, output_told = 0;
  bool tty = isatty(2);
  int shown_left = -1;
};

double since(const watch& w) {
  return now() - w.start;
}

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
  fprintf(stderr, "\r\033[Kphase %d, %s: %d s left%s", w.phase, kTitles[w.phase - 1], left,
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
  std::string proc = w.r.root + "/proc";
  if (!next_exec(w.listener, proc, &e) || !child_of_exec(e, w.r.children, &s) ||
      parent_of(proc, e.pid) != w.daemon)
    return;
  s.at = since(w);
  // In phase 2 the first child's first start is the requester's.
  s.requester = w.phase == 2 && s.child == w.r.children[0] && first_of(w.out->starts, s.child);
  w.out->starts.push_back(s);
  std::string args;
  for (const std::string& a : s.args) args += " " + a;
  tell(w, s.child + (s.requester ? " (the requester)" : "") + " started as " +
              (s.from_data ? "../data//" : "") + s.child + args);
}

// Polls until the phase is over: reaps, reads the process table, the run
// file and the output, and shows what happened.
void poll_phase(watch& w, const std::string& run_path, const std::string& out_path) {
  while (now() < w.deadline) {
    pollfd p = {w.listener, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) take_exec(w);
    int status = 0;
    for (pid_t p; (p = waitpid(-1, &status, WNOHANG)) > 0;)
      if (p == w.daemon && !w.out->daemon_ended) {
        w.out->daemon_ended = true;
        w.out->ended_at = since(w);
        w.deadline = std::min(w.deadline, now() + 0.5);  // its last words
      }
    size_t run = w.out->run_text.size(), said = w.out->out_text.size();
    follow(run_path, &w.run_fd, &w.out->run_text);
    follow(out_path, &w.out_fd, &w.out->out_text);
    if (w.out->run_text.size() != run || w.out->out_text.size() != said) tell_log(w);
    progress(w);
  }
  if (w.out->daemon_ended) tell(w, "minder ended");
}

// After the phase: nothing left running, the run file and output read whole,
// the run file kept, the record read.
void end_phase(watch& w, const std::string& run_path, const std::string& out_path) {
  const rehearsal& r = w.r;
  phase_result* out = w.out;
  out->ran = since(w);
  kill(-1, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  follow(run_path, &w.run_fd, &out->run_text);
  follow(out_path, &w.out_fd, &out->out_text);
  if (w.tty) fputs("\r\033[K", stderr);
  unmount_tmp(r);
  std::string why, kept = r.work + "/phase" + std::to_string(w.phase) + ".run";
  if (!write_text(kept, out->run_text, 0644, &why)) out->setup = why;
  std::string data = r.root + dir_of(r.prog) + "/data";
  record_view rec = read_record(data);
  out->record = rec.read ? rec.shown : "";
  out->record_why = rec.says;
  for (size_t at; (at = out->record_why.find(data)) != std::string::npos;)
    out->record_why.replace(at, data.size(), dir_of(r.prog) + "/data");
  out->data_mode = rec.data_mode;
}

}  // namespace

void run_phase(const rehearsal& r, int phase, int listener, phase_result* out) {
  watch w(r, phase, listener, out);
  out->title = kTitles[phase - 1];
  out->seconds = r.seconds[phase - 1];
  out->began = time(nullptr);
  std::string why, out_path = r.work + "/phase" + std::to_string(phase) + ".out";
  std::string run_path = r.root + "/tmp/.uci/" + r.daemon + ".run";
  unique_fd out_fd(
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
  unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  int errs[2] = {-1, -1};
  if (!mount_tmp(r, &why) || (phase == 2 && !set_up_request(r, &why)) || out_fd.get() < 0 ||
      null_fd.get() < 0 || pipe2(errs, O_CLOEXEC | O_NONBLOCK) != 0) {
    out->setup = why.empty() ? std::string(strerror(errno)) : why;
    return end_phase(w, run_path, out_path);
  }
  unique_fd err_read(errs[0]), err_write(errs[1]);
  fprintf(stderr, "phase %d of %d, %s: %s/%s starts, for %d s%s\n", phase,
          r.package.empty() ? 1 : 3, out->title, r.prog.c_str(), r.daemon.c_str(), out->seconds,
          phase == 2 ? " after the request" : "");
  w.daemon = start_daemon(r, out_fd.get(), null_fd.get(), err_write.get());
  close(err_write.release());
  w.deadline = w.start + r.seconds[phase - 1];
  if (w.daemon > 0) poll_phase(w, run_path, out_path);
  int err = w.daemon > 0 ? 0 : errno;
  if (err || read(err_read.get(), &err, sizeof err) == sizeof err)
    out->setup = "minder could not be started: " + r.prog + "/" + r.daemon + ": " + strerror(err);
  end_phase(w, run_path, out_path);
}

int run_phases(const rehearsal& r) {
  std::string why;
  if (!prepare_root(r, &why)) return setup_error("%s", why.c_str());
  unique_fd listener(listen_to_execs());
  if (listener.get() < 0)
    return setup_error(
        "this kernel cannot report the programs started (seccomp user "
        "notification, Linux 5.5 or later): %s",
        strerror(errno));
  std::vector<phase_result> phases(r.package.empty() ? 1 : 3);
  for (size_t i = 0; i < phases.size(); ++i)
    run_phase(r, static_cast<int>(i) + 1, listener.get(), &phases[i]);
  return report_rehearsal(r, phases);
}
