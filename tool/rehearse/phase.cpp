// SPDX-License-Identifier: MIT
// One phase of a rehearsal, in PID 1: a fresh /tmp, the daemon started by its
// absolute path on a board sealed in its root as init starts it, in real
// time, watched until the phase is over; then everything in the namespace is
// killed.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "package.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"
#include "watch.hpp"

namespace {

const char* const kTitles[] = {"first boot", "the request", "reboot"};

// The daemon as init starts it, on the board: a session of its own,
// standard input from /dev/null, its output to out_fd, a plain environment.
// Only system calls between fork and exec; why_fd gets errno when the exec
// fails.
pid_t start_daemon(const rehearsal& r, const board_ns& b, int out_fd, int null_fd, int why_fd) {
  std::string path = r.prog + "/" + r.daemon, cpu = "QEMU_CPU=" + r.qemu_cpu,
              search = std::string("PATH=") + kBoardPath;
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  char* envp[] = {const_cast<char*>(search.c_str()), const_cast<char*>("HOME=/"),
                  const_cast<char*>("TERM=linux"),
                  r.qemu_cpu.empty() ? nullptr : const_cast<char*>(cpu.c_str()), nullptr};
  return start_in_board(b, [&] {
    setsid();
    if (dup2(null_fd, 0) >= 0 && dup2(out_fd, 1) >= 0 && dup2(out_fd, 2) >= 0 && chdir("/") == 0)
      execve(argv[0], argv, envp);
    int err = errno;
    if (write(why_fd, &err, sizeof err) < 0) _exit(127);
    _exit(127);
  });
}

// Where phase 2 begins: the package where a child leaves it, and the
// requester in place of the first child.
bool set_up_request(const rehearsal& r, std::string* why) {
  std::string uci = r.root + "/tmp/.uci";
  if (mkdir(uci.c_str(), 01777) != 0 || chmod(uci.c_str(), 01777) != 0) {
    *why = uci + ": " + strerror(errno);
    return false;
  }
  if (!copy_to(r.work + "/package.tgz", uci + "/qvupgrade.tgz", 0644, why) ||
      !install_requester(r, why))
    return false;
  return !r.as_root || shift_owners(uci, why);
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

// One phase (1, 2 or 3).
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
  if (!mount_tmp(r, &why) || (phase == 2 && !set_up_request(r, &why)) || out_fd.get() < 0 ||
      null_fd.get() < 0) {
    out->setup = why.empty() ? std::string(strerror(errno)) : why;
    return end_phase(w, run_path, out_path);
  }
  fprintf(stderr, "phase %d of %d, %s: %s/%s starts, for %d s%s\n", phase,
          r.package.empty() ? 1 : 3, out->title, r.prog.c_str(), r.daemon.c_str(), out->seconds,
          phase == 2 ? " after the request" : "");
  board_ns board;
  int errs[2] = {-1, -1};  // made after the board's init, which must not hold it
  if (!start_board(r, &board, &why) || pipe2(errs, O_CLOEXEC | O_NONBLOCK) != 0) {
    out->setup = why.empty() ? std::string(strerror(errno)) : why;
    return end_phase(w, run_path, out_path);
  }
  unique_fd err_read(errs[0]), err_write(errs[1]);
  w.daemon = start_daemon(r, board, out_fd.get(), null_fd.get(), err_write.get());
  int err = w.daemon > 0 ? 0 : errno;
  close(err_write.release());
  w.exec_fd = err_read.get();
  w.deadline = now() + 60;  // for the exec, then the phase's seconds
  if (w.daemon > 0) poll_phase(w, run_path, out_path);
  if (!err) err = w.exec_errno;
  if (err)
    out->setup = "minder could not be started: " + r.prog + "/" + r.daemon + ": " + strerror(err);
  end_phase(w, run_path, out_path);
}

}  // namespace

int run_phases(const rehearsal& r) {
  std::string why;
  if (!prepare_root(r, &why)) return setup_error("%s", why.c_str());
  std::vector<std::string> root_fails = probe_root(r);  // before execs are watched
  unique_fd listener(listen_to_execs());
  if (listener.get() < 0)
    return setup_error(
        "this kernel cannot report the programs started (seccomp user "
        "notification, Linux 5.5 or later): %s",
        strerror(errno));
  std::vector<phase_result> phases(r.package.empty() ? 1 : 3);
  phases[0].root_fails = root_fails;
  for (size_t i = 0; i < phases.size(); ++i) {
    run_phase(r, static_cast<int>(i) + 1, listener.get(), &phases[i]);
    // The tool's own failure says nothing of the upgrade: no verdict.
    if (!phases[i].setup.empty())
      return setup_error("phase %zu of %zu, %s, could not run: %s", i + 1, phases.size(),
                         phases[i].title, phases[i].setup.c_str());
  }
  return report_rehearsal(r, phases);
}
