// SPDX-License-Identifier: MIT
// Black-box test harness: runs a uniquely named copy of the daemon in a
// temporary program directory, with time sped up by libfaketime.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();

  std::string root;   // temporary directory
  std::string prog;   // program directory: root/prog
  std::string data;   // data directory: root/data
  std::string name;   // the daemon's executable name (unique)
  std::string argv0;  // how the daemon is started: prog/name
  std::string run_path() const { return "/tmp/.uci/" + name + ".run"; }

  // A unique child name made from base, with the fixture installed under it
  // in the program directory (and in the data directory when in_data).
  std::string child(const std::string& base, bool in_data = false);
  void config(const std::string& json);
  void plan(const std::string& child, const std::string& lines);  // one start a line
  static void write(const std::string& path, const std::string& text);
  static std::string read(const std::string& path);
  static bool exists(const std::string& path);

  // Starts the daemon with stdout and stderr to root/out; speed is the
  // libfaketime rate. argv0 may be overridden; cwd is where it starts from.
  pid_t start(const std::vector<std::string>& args = {}, int speed = 100,
              const std::string& cwd = "", const std::string& as_argv0 = "");
  // Waits for the daemon to end: its exit status, or -1 after the deadline.
  int wait_exit(double seconds = 20);
  void stop();  // SIGKILL the daemon and every child name in use

  std::string out() const { return read(root + "/out"); }
  std::string run_file() const { return read(run_path()); }
  // The fixture's log of child: one "PID\tARGV" line per start.
  std::vector<std::string> starts(const std::string& child) const;
  std::string args_at(const std::string& child, size_t k) const;  // argv of start k, or ""
  std::string last_args(const std::string& child) const;          // argv of the latest start
  pid_t last_pid(const std::string& child) const;

  pid_t pid = -1;
  std::vector<std::string> children;
  // A command the daemon is run through (e.g. {"setpriv", "--reuid=..."}),
  // found on PATH and given the daemon's path and arguments; empty: none.
  // The wrapper itself runs without libfaketime.
  std::vector<std::string> wrapper;
  // A library preloaded into the daemon after libfaketime; empty: none.
  std::string preload;
};

// A command line's exit status and its output, errors included.
struct command_result {
  int status;  // 124: cut off after its time
  std::string out;
  bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
};
command_result run_command(const std::string& cmd, int seconds = 60);

// The start of a 32-bit ARM program, dynamically linked with interp.
std::string arm_program(const std::string& interp);

// A config naming bases in launch order, all watched when excheck.
std::string config_for(const std::vector<std::string>& bases, bool excheck = false);
// Polls pred until it holds or seconds pass.
bool eventually(const std::function<bool()>& pred, double seconds = 30);
int count_of(const std::string& text, const std::string& what);
bool process_alive(pid_t pid);

// Whether this test program has a mount namespace and a /tmp/.uci/ of its own
// (as root): mounts a test makes then stay inside it.
bool private_mounts();
// Detaches the mount at path when it goes.
struct Unmount {
  std::string path;
  ~Unmount();
};
// Writes into path until the file system refuses another byte.
void fill_up(const std::string& path);
// Copies the program from to to, executable.
void copy_exec(const std::string& from, const std::string& to);
// Kills a daemon with SIGKILL, collects it, and removes what libfaketime
// shared with it.
void kill_daemon(pid_t pid);
