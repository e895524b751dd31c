// SPDX-License-Identifier: MIT
// What a device did, read from minder's run file and, when there is one, from
// its standard output: parsed into events with their meaning under the child
// exit-code protocol, and explained as a summary with warnings, a timeline,
// JSON and an SVG picture.
//
// The lines are matched with the daemon's own format texts (runfile.hpp,
// supervise.hpp, upgrade.hpp, main.hpp) and the protocol is the daemon's own
// decide_end and segv_delay, so that the explanation follows the daemon.
//
// Use: fill a log_input, parse_log() it, then explain_log(), log_to_json() or
// write_log_svg() (which draws several logs as bands of one picture).
#pragma once

#include <stdio.h>

#include <optional>
#include <string>
#include <vector>

#include "config.hpp"  // json_ptr

// Seconds of the device's local clock, counted as if it were UTC (so that
// differences ignore the host's time zone); kNoTime when a line has no stamp.
using log_time = long long;
inline constexpr log_time kNoTime = -1;

enum class log_kind {
  end,             // a child's end: "... exited normally with code(N)" or "killed by signal(N)"
  not_alive,       // the heartbeat checker is about to kill child
  checker_failed,  // the heartbeat checker could not be started
  damaged,         // a line minder does not write: cut short, binary, another program's
};

// How a child ended, in the protocol's terms.
enum class end_cause {
  exit_status,     // an exit status that is no request (0 included)
  cannot_start,    // 129
  unpack_package,  // 130
  install_blob,    // 131
  record_version,  // 132
  new_cycle,       // 160
  signal,          // a signal other than the two below
  segfault,        // signal 11
  heartbeat_kill,  // signal 9 (or status 9) after the checker's "is not alive" line
};
inline constexpr int kEndCauses = 9;

// What minder did after an end, as far as the protocol makes it certain.
enum class next_step {
  restart,          // this child again after `delay` seconds, with -r restart_code
  new_cycle,        // every child killed and started again at once, -r restart_code
  upgrade,          // the installer for restart_code (130, 131, 132), then a new cycle
  fallback,         // the cycle failed: record removed, every child started again
  fallback_or_end,  // the cycle failed: the fallback ran or minder ended; unknown which
  minder_ended,     // the cycle failed without a record: minder ended
};

struct log_event {
  log_kind kind = log_kind::damaged;
  int line = 0;       // in the run file; the program directory is line 1
  std::string stamp;  // the time as logged; empty when the line has none
  log_time when = kNoTime;
  std::string child;  // end, not_alive
  int code = 0;       // exit status or signal number
  bool exited = false;
  end_cause cause = end_cause::exit_status;
  next_step next = next_step::restart;
  int restart_code = 0;
  int delay = 0;           // seconds before a restart
  int segfaults = 0;       // segfault ends so far, this one included (a segfault)
  log_time ran = kNoTime;  // seconds the child had run before this end, when known
  // Logged as minder woke from a wait of this many seconds (a back-off) in
  // which it collects no end: the child may have ended up to that much earlier.
  int waited = 0;
  std::string text;  // a damaged line as read (raw bytes)
};

// Lines of minder's standard output that say what the run file does not.
enum class out_kind {
  fell_back,       // "failed boot, then clean bootchk, and try again"
  ended,           // "failed for normal boot, exit"
  segv_delay,      // "Will restart segv prog after N secs"
  normal_delay,    // "Will restart normal prog after N secs"
  exec_failed,     // "failed to exec PATH, error is TEXT"
  copy_failed,     // "Failed to read or write, in, N, out, M"
  waitpid_failed,  // "failed to waitpid"
  fork_failed,     // "failed to fork"
  no_such_pid,     // "No such pid(N) for reexec"
  startup_failed,  // a message with which minder ends at start-up
};

inline constexpr int kOutKinds = 10;

struct out_event {
  out_kind kind;
  int line = 0;      // in the standard output file
  int number = 0;    // N of segv_delay, normal_delay, no_such_pid
  std::string text;  // the message as printed, prefixes passed over, no newline
};

struct log_child {
  std::string name;
  bool configured = false;  // named by the config given
  bool watched = false;     // heartbeat checked (config), or seen killed by the checker
};

struct log_input {
  std::string run_text;     // the run file's bytes
  std::string output_text;  // minder's standard output
  bool has_output = false;
  std::vector<log_child> children;  // from the config, in slot order; may be empty
};

// A child's ends of one cause (and code), counted.
struct cause_count {
  std::string words;  // end_words of the first such end
  end_cause cause;
  int code;
  int count;
};

// Each child's ends counted as the file is read; the events are copies.
struct child_stats {
  int ends = 0;
  std::vector<cause_count> causes;  // the first seen first
  std::optional<log_event> last;
  int cannot_start = 0;
  std::optional<log_event> last_cannot_start;
  int heartbeat_kills = 0;
  std::optional<log_event> last_kill;
  int upgrades = 0;
  std::optional<log_event> last_upgrade;
  int loop = 0;  // the most quick ends in a row
  std::optional<log_event> loop_last;
  int quick = 0;         // quick ends in a row so far
  bool killing = false;  // an "is not alive" line not yet followed by the end
};

// Events beyond this many are counted, not kept: the summary, the warnings
// and the counts cover the whole file in bounded memory, the timeline, the
// picture and the JSON's events list the first ones.
inline constexpr size_t kKeptEvents = 10000;
// Longer lines are none of minder's (an exit line has at most 255 bytes, a
// heartbeat line 8191); the limit also bounds the matcher's work and what a
// reader holds of a line.
inline constexpr size_t kLongestLine = 16384;
inline constexpr size_t kKeptOutput = 256;
inline constexpr size_t kKeptText = 240;   // bytes of a damaged line kept
inline constexpr size_t kShownLines = 10;  // damaged lines and the like kept for the summary
// A run file of minder's names at most four children; more names than this
// make their lines none of minder's.
inline constexpr size_t kMostChildren = 64;

struct log_result {
  bool run_file = false;          // false: neither a program directory nor a line of minder's
  std::string directory;          // the first line as read (its first 4096 bytes)
  bool directory_ok = false;      // the first line is an absolute path
  std::vector<log_event> events;  // the lines after the first, damaged ones included; the
                                  // first kKeptEvents of them
  int event_count = 0;            // all of them, kept or not
  int lines = 0;                  // lines of the file, the first included
  std::vector<log_event> damaged_lines;  // the first few damaged ones
  int damaged = 0;
  bool cut = false;  // the last line has no end of line: cut short
  bool has_output = false;
  std::vector<out_event> output;  // the first kKeptOutput of minder's lines there
  int output_count[kOutKinds] = {};
  int segv_told = 0;                // the last segfault back-off step a delay there tells of
  std::vector<log_child> children;  // configured ones first, then as they appear
  std::vector<child_stats> stats;   // one per child
  std::optional<log_event> last_end;
  std::vector<int> checker_failed;  // lines, the first few
  log_time first = kNoTime, last = kNoTime;
  std::string first_stamp, last_stamp;
  int clock_back = 0;     // the line where the time first goes back, or 0
  int clock_forward = 0;  // the line where the clock first jumps ahead, or 0
  log_time jump = 0;      // by how much
  int segfaults = 0;      // at least this many since minder started
  int waited_ends = 0;    // ends logged as a segfault back-off ended (log_event::waited)
  std::optional<log_event> last_waited;
  bool config_given = false;
};

log_result parse_log(const log_input& in);

// Matches text against a printf format that holds only %s and %d:
// the whole text, with the converted fields in order. %d is an optional minus
// and digits; %s is as short as the rest allows.
bool match_format(const char* format, const std::string& text, std::vector<std::string>* fields);

// The cause as an identifier ("segfault"), an end and the step after it in
// words ("segmentation fault (signal 11)", "restart in 60 s with -r 11").
const char* cause_name(end_cause cause);
std::string end_words(const log_event& e);
std::string next_words(const log_event& e);
// The time as the device showed it ("Tue Dec  8 14:03:09 2026"), or "".
std::string time_text(log_time t);

// Warnings, the worst first, one line each.
std::vector<std::string> log_warnings(const log_result& r);
// The same with a stable identifier ("crash_loop") and what it counts.
struct log_warning {
  const char* id;
  std::string text;
  std::string child;  // "" when it is about no one child
  int count = 0;      // ends, requests or segfaults it counts; 0 when none
  int line = 0;       // the run file's line it points at; 0 when none
};
std::vector<log_warning> log_warning_list(const log_result& r);

// What happened to a device, as stable identifiers: upgrade_taken,
// fallback, fallback_or_end, minder_ended, crash_loop, heartbeat_kills;
// nothing_notable when none; none for a file that is no run file.
std::vector<const char*> log_outcomes(const log_result& r);

enum class timeline_mode { if_short, always, never };

// Writes the summary, the warnings and, as mode says, the timeline (for a
// file that is no run file, one line that says so); returns the number of
// warnings.
int explain_log(FILE* out, const log_result& r, timeline_mode mode);
void write_timeline(FILE* out, const log_result& r);

// The events and the summary as one JSON object, "schema": 1 (the manual
// lists its keys); file and output name what was read ("": not told).
json_ptr log_to_json(const log_result& r, const std::string& file = "",
                     const std::string& output = "");
// The same as text on one line, a line of JSON Lines; and the object of a
// file that cannot be read.
std::string log_json_text(const log_result& r, const std::string& file = "",
                          const std::string& output = "");
std::string log_json_error(const std::string& file, const std::string& output,
                           const std::string& why);
// "2026-12-08T14:03:09", or "".
std::string iso_time(log_time t);

// One picture of several logs, each a band with its title, its children's
// lanes and its own time axis. Plain SVG 1.1.
struct titled_log {
  std::string title;
  const log_result* log;
  // The span the band covers, in the log's time, when wider than its events'.
  log_time from = kNoTime, to = kNoTime;
};
void write_log_svg(FILE* out, const std::vector<titled_log>& logs);

// Text for a terminal, JSON or XML: control characters and bytes outside
// ASCII as \xNN, cut to max bytes with "..." after.
std::string printable(const std::string& text, size_t max = 200);

// log RUNFILE: the command.
struct options;
int cmd_log(const options& opt);
