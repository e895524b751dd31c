// SPDX-License-Identifier: MIT
// rehearse: an upgrade tried on an emulated board with the shipped daemon.
// The tool prepares the rehearsal's own directory (a copy of the program
// directory and of the package, with stand-ins for what the board cannot
// execute, and the board's root), then forks PID 1 of new user, mount and PID
// namespaces, which runs the phases and reports. Nothing it starts outlives it.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "board.hpp"

// The PATH the daemon gets on the board, as init starts it, and with it the
// shell through which it runs killall and tar.
inline constexpr char kBoardPath[] = "/sbin:/usr/sbin:/bin:/usr/bin";

// A program replaced in the rehearsal's copy by a script that fails as the
// board fails to execute it.
struct standin {
  std::string where;  // "program directory" or the package's name
  std::string name;   // the child
  std::string why;    // "built for 64-bit x86-64, the board is 32-bit ARM"
};

// Everything decided before the namespace is entered.
struct rehearsal {
  std::string dir;      // DIR as given
  std::string package;  // PACKAGE as given; empty: first boot only
  std::string work;     // the rehearsal's own directory
  bool keep = false;
  bool as_root = false;  // the tool runs as root: the board's users are unprivileged ones
                         // (in PID 1: false where user namespaces are refused)
  std::string rootfs;    // --root, or empty: the BusyBox root built in work/root
  std::string root;      // work/root: where the board's root is assembled
  std::string prog;      // the program directory inside the root ("/opt/app/bin")
  std::string daemon;    // the daemon's file name
  std::vector<std::string> children;
  std::vector<std::string> watched;  // children with heartbeat checking
  board b;
  std::string arch;      // Debian's name: armhf, armel, arm64, amd64
  std::string qemu;      // the emulator's path; empty: native
  std::string qemu_cpu;  // QEMU_CPU, the board's oldest CPU
  std::string busybox;   // the default root's busybox and its applet list
  std::vector<std::string> applets;
  int seconds[3] = {20, 60, 20};
  std::string svg;
  std::vector<standin> standins;
  std::vector<std::string> notes;       // said once before the phases
  std::vector<std::string> needs_root;  // dynamically linked children, with no --root
  // Children the board starts and kills at once, as the CPU judgement tells
  // (where, name, why: "built for ARMv7-A, the board is ARMv5TE").
  std::vector<standin> dies;
  // Package entries that land in ../data/ and that minder never reads
  // ("config: minder reads config only from the program directory; ...").
  std::vector<std::string> ignored;
};

// A child's start, as the daemon executed it.
struct child_start {
  double at = 0;  // seconds since the phase began
  std::string child;
  bool from_data = false;  // started as ../data//NAME
  std::vector<std::string> args;
  bool requester = false;
  int pid = 0;  // in the rehearsal's namespace
};

// Two instances of one child alive at once, seen twice in a row.
struct overlap_seen {
  std::string child;
  double at = 0;       // when the later one started
  double earlier = 0;  // when the one still alive had started
};

struct phase_result {
  const char* title = "";
  std::string setup;    // why the phase could not run; empty when it ran
  int seconds = 0;      // how long it ran after the daemon started (phase 2: after the request)
  long long began = 0;  // when it began (seconds since 1970, UTC)
  double ran = 0;       // seconds it ran
  double request = -1;  // phase 2: when the request ended the requester
  bool daemon_ended = false;
  std::string run_text;  // the run file
  std::string out_text;  // the daemon's standard output
  std::vector<child_start> starts;
  int unread = 0;                // programs started whose path and arguments could not be read
  std::vector<double> event_at;  // when each run-file line was seen, in its order
  std::string record;            // the boot-check record after the phase, as read
  bool data_mode = false;
  std::string record_why;
  std::vector<std::string> root_fails;  // phase 1: what minder needs that fails in the root
  std::vector<overlap_seen> overlaps;
};

// A program executed in the rehearsal's namespace, as execve was given it.
struct exec_seen {
  int pid = 0;
  std::string path;
  std::vector<std::string> argv;
};

// Which child an exec starts (its path is NAME or ../data//NAME) and with what
// arguments; false when none.
bool child_of_exec(const exec_seen& e, const std::vector<std::string>& names, child_start* s);
// In PID 1: a seccomp filter on this process and all it starts that reports
// every exec: the listener, or -1.
int listen_to_execs();
// Takes one reported exec from the listener, reads it with proc (the
// namespace's /proc) and lets it go on; false when it could not be read.
bool next_exec(int listener, const std::string& proc, exec_seen* e);
// The parent of pid, from proc; 0 when unknown.
int parent_of(const std::string& proc, int pid);

// Fetches (once) Debian's busybox-static for arch into the cache: fills
// r.busybox and r.applets; false, and what to do, when it cannot.
bool fetch_busybox(rehearsal& r, std::string* why);
// The static emulator for the board: on PATH or fetched (once) from Debian's
// qemu-user-static; false, and what to do, when there is none.
bool find_qemu(rehearsal& r, std::string* why);
// Builds the default BusyBox root in r.root.
bool build_busybox_root(const rehearsal& r, std::string* why);
// Whether path (absolute, inside the root rootfs) names a file there, links
// followed within the root.
bool exists_in_root(const std::string& rootfs, const std::string& path);

// The rehearsal's copy of the program directory (work/prog) and of the package
// (work/package.tgz), with stand-ins; fills r.standins.
bool copy_program_dir(rehearsal& r, std::string* why);
bool copy_package(rehearsal& r, std::string* why);
// Puts the requester in place of the first child in work/prog.
bool install_requester(const rehearsal& r, std::string* why);

// Host helpers. The program file of name: itself when it holds a slash, else
// found on PATH ("" when not).
std::string find_program(const std::string& name);
bool copy_to(const std::string& from, const std::string& to, mode_t mode, std::string* why);
bool write_text(const std::string& path, const std::string& text, mode_t mode, std::string* why);
bool read_text(const std::string& path, std::string* text, std::string* why);
bool make_dirs(const std::string& path, std::string* why);
// The stand-in for a program the board refuses with error, and whether it does.
std::string standin_script(const std::string& why, const char* error);
enum class verdict {
  runs,        // as far as its headers tell
  refused,     // execv fails on the board: *why, and *error is its text
  needs_root,  // linked dynamically (*why is its interpreter): only the board's root can tell
};
verdict board_verdict(const rehearsal& r, const unsigned char* image, size_t len, std::string* why,
                      const char** error);
// Stands in for a child (name, from where) the board refuses: true, and the
// stand-in in *text; what its image tells joins r.standins, r.dies and
// r.needs_root.
bool stand_in(rehearsal& r, const std::string& where, const std::string& name,
              const std::vector<unsigned char>& image, std::string* text);

// Runs a program (argv[0] looked up on PATH) in cwd with standard output to
// out_fd (-1: /dev/null) and standard error to a capture; its exit status, or
// -1 with *why when it could not start.
int run_program(const std::vector<std::string>& argv, const std::string& cwd, int out_fd,
                std::string* err);
// Removes the tree at path without following links or crossing mounts.
void remove_tree(const std::string& path);

// Forks PID 1 of the rehearsal's namespaces, which runs the phases and prints
// the report; its exit status (0, 1, 2), after Ctrl-C 130.
int run_namespace(const rehearsal& r);

// Whether a binfmt_misc entry's magic and mask (as its file shows them, in
// hex) take the board's programs.
bool binfmt_matches(const std::string& magic, const std::string& mask, const elf_id& id);
// In PID 1: the mounts of the board's root and the emulator's registration.
bool prepare_root(const rehearsal& r, std::string* why);
// In PID 1, first: private mounts and PID 1's own /proc (sandbox.hpp's
// watcher_proc).
bool mount_watcher_proc(const rehearsal& r, std::string* why);
bool mount_tmp(const rehearsal& r, std::string* why);
void unmount_tmp(const rehearsal& r);

// In PID 1: the phases, then the report. The exit status.
int run_phases(const rehearsal& r);
// The problems of a phase, as the explainer reads its run file and output
// (log) and from the starts seen; phase 3 is judged against phase 2.
struct log_result;
std::vector<std::string> phase_problems(const rehearsal& r, int phase,
                                        const std::vector<phase_result>& phases,
                                        const log_result& log);
// The ends of a phase grouped by cause; a cause is a problem unless it is a
// request used as designed (which only a loop of makes one).
std::vector<std::string> end_problems(const rehearsal& r, int phase, const phase_result& p,
                                      const log_result& log);
// What a phase was too short to show, with the --seconds that would show it.
std::vector<std::string> length_notes(const rehearsal& r, int phase);
// What the root lacks of what minder runs through its shell, from the exit
// statuses there of killall (of no process) and of tar -tzf on a small
// package; one line each.
std::vector<std::string> root_lacks(int killall_status, int tar_status);
// In PID 1: killall and tar run in the board's root as minder runs them,
// found as its shell finds them; what fails, one line each.
std::vector<std::string> probe_root(const rehearsal& r);
// The picture of the phases (--svg).
void write_rehearsal_svg(FILE* f, const rehearsal& r, const std::vector<phase_result>& phases,
                         const std::vector<log_result>& logs,
                         const std::vector<std::vector<std::string>>& problems);
// The report of the phases; its exit status: 0 no problem, 1 problems.
int report_rehearsal(const rehearsal& r, const std::vector<phase_result>& phases);

// Set-up errors: one line saying what to do; exit status 2.
int setup_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
