// SPDX-License-Identifier: MIT
#include "harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string unique_id() {
  static int counter = 0;
  char id[16];
  snprintf(id, sizeof id, "%05x%02x", static_cast<unsigned>(getpid()) & 0xfffff, counter++ & 0xff);
  return id;
}

// The daemon's state directory /tmp/.uci/ is fixed. As root, each test
// program gets one of its own (a tmpfs in a mount namespace of its own), so
// that runs from several checkouts, and tests run side by side, cannot meet
// there; elsewhere the CTest locks keep them apart. The rest of /tmp, where a
// checkout may live, stays shared.
const bool private_state_dir = [] {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return false;
  mkdir("/tmp/.uci", 0777);
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("minder-uci", "/tmp/.uci", "tmpfs", 0, "mode=0755") == 0;
}();

}  // namespace

bool private_mounts() {
  return private_state_dir;
}

Unmount::~Unmount() {
  umount2(path.c_str(), MNT_DETACH);
}

void fill_up(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  static const char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  while (write(fd, block, 1) > 0) {
  }
  close(fd);
}

void copy_exec(const std::string& from, const std::string& to) {
  Sandbox::write(to, Sandbox::read(from));
  chmod(to.c_str(), 0755);
}

void kill_daemon(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // What libfaketime shares with the daemon's processes outlives a kill.
  unlink(("/dev/shm/faketime_shm_" + std::to_string(pid)).c_str());
  unlink(("/dev/shm/sem.faketime_sem_" + std::to_string(pid)).c_str());
}

Sandbox::Sandbox() {
  char tmpl[] = "/tmp/minder-test-XXXXXX";
  root = mkdtemp(tmpl);
  prog = root + "/prog";
  data = root + "/data";
  mkdir(prog.c_str(), 0755);
  mkdir(data.c_str(), 0755);
  name = "md" + unique_id();
  argv0 = prog + "/" + name;
  copy_exec(MINDER_BIN, argv0);
}

Sandbox::~Sandbox() {
  stop();
  // A sanitized daemon reports on its own output.
  EXPECT_EQ(out().find("Sanitizer"), std::string::npos) << out();
  unlink(run_path().c_str());
  for (const auto& c : children) unlink(("/tmp/.uci//" + c + ".alive").c_str());
  std::string cmd = "rm -rf '" + root + "'";
  if (system(cmd.c_str()) != 0) perror("rm");
}

std::string Sandbox::child(const std::string& base, bool in_data) {
  std::string c = base.substr(0, 6) + unique_id();
  copy_exec(MINDER_FIXTURE, prog + "/" + c);
  if (in_data) copy_exec(MINDER_FIXTURE, data + "/" + c);
  children.push_back(c);
  return c;
}

void Sandbox::config(const std::string& json) {
  write(prog + "/config", json);
}

void Sandbox::plan(const std::string& child, const std::string& lines) {
  write(prog + "/" + child + ".plan", lines);
}

void Sandbox::write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Sandbox::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Sandbox::exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

pid_t Sandbox::start(const std::vector<std::string>& args, int speed, const std::string& cwd,
                     const std::string& as_argv0) {
  std::string out_path = root + "/out";
  std::string rate = "+0 x" + std::to_string(speed);
  std::string libs = MINDER_FAKETIME + (preload.empty() ? "" : ":" + preload);
  pid = fork();
  if (pid != 0) return pid;
  if (wrapper.empty()) setenv("LD_PRELOAD", libs.c_str(), 1);
  setenv("FAKETIME", rate.c_str(), 1);
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
  setenv("TSAN_OPTIONS", "halt_on_error=1", 0);
  if (chdir((cwd.empty() ? root : cwd).c_str()) != 0) _exit(127);
  FILE* out = freopen(out_path.c_str(), "w", stdout);
  if (!out || dup2(1, 2) < 0) _exit(127);
  std::vector<char*> argv;
  std::vector<std::string> head = wrapper;
  if (!head.empty()) head.insert(head.end(), {"env", "LD_PRELOAD=" + libs});
  for (const auto& w : head) argv.push_back(const_cast<char*>(w.c_str()));
  std::string a0 = as_argv0.empty() ? argv0 : as_argv0;
  argv.push_back(a0.data());
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (wrapper.empty())
    execv(argv0.c_str(), argv.data());
  else
    execvp(argv[0], argv.data());
  _exit(127);
}

int Sandbox::wait_exit(double seconds) {
  int status = 0;
  bool done = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
  if (!done) return -1;
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Sandbox::stop() {
  if (pid > 0) {
    kill_daemon(pid);
    pid = -1;
  }
  for (const auto& c : children) {
    std::string cmd = "killall -q -9 " + c;
    if (system(cmd.c_str()) < 0) perror("killall");
  }
}

std::vector<std::string> Sandbox::starts(const std::string& child) const {
  std::vector<std::string> lines;
  std::istringstream in(read(prog + "/" + child + ".log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Sandbox::args_at(const std::string& child, size_t k) const {
  auto lines = starts(child);
  return k < lines.size() ? lines[k].substr(lines[k].find('\t') + 1) : "";
}

std::string Sandbox::last_args(const std::string& child) const {
  auto lines = starts(child);
  return lines.empty() ? "" : args_at(child, lines.size() - 1);
}

pid_t Sandbox::last_pid(const std::string& child) const {
  auto lines = starts(child);
  return lines.empty() ? -1 : atoi(lines.back().c_str());
}

std::string config_for(const std::vector<std::string>& bases, bool excheck) {
  std::string procs;
  for (const auto& b : bases)
    procs += (procs.empty() ? "{\"base\":\"" : ",{\"base\":\"") + b +
             (excheck ? "\",\"excheck\":true}" : "\"}");
  return R"({"__watch":{"processes":[)" + procs + "]}}";
}

bool eventually(const std::function<bool()>& pred, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool process_alive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::string stat = Sandbox::read("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

command_result run_command(const std::string& cmd, int seconds) {
  // A command that blocks fails the test, with status 124, instead of holding it up.
  std::string line = "timeout " + std::to_string(seconds) + " " + cmd + " 2>&1";
  command_result r{-1, ""};
  FILE* p = popen(line.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int status = pclose(p);
  // A shell that runs its last command in its own place (BusyBox's) dies of
  // that command's signal: told as the shell that waits (dash, bash) tells it.
  r.status = WIFEXITED(status)     ? WEXITSTATUS(status)
             : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                   : -1;
  return r;
}

std::string arm_program(const std::string& interp) {
  std::string e(84, '\0');
  auto put = [&](size_t at, size_t v) {
    for (size_t i = 0; i < 4; ++i) e[at + i] = static_cast<char>(v >> 8 * i);
  };
  e.replace(0, 7, "\177ELF\1\1\1");
  put(16, 2 | 40 << 16);  // an executable for ARM,
  put(28, 52);            // program headers at 52:
  put(42, 32 | 1 << 16);  // one of 32 bytes,
  put(52, 3);             // PT_INTERP, with interp at 84
  put(56, 84);
  put(68, interp.size() + 1);
  return e + interp + '\0';
}
