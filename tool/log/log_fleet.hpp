// SPDX-License-Identifier: MIT
// Inside the log part: run files read line by line in bounded memory, found
// in the directories given, and many devices summed up as a fleet.
#pragma once

#include <stdio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log.hpp"

// A run file parsed as parse_log() does, line by line: minder's standard
// output first, then the run file; memory stays bounded whatever the lines.
class log_reader {
 public:
  explicit log_reader(const std::vector<log_child>& children, bool has_output);
  ~log_reader();
  log_reader(const log_reader&) = delete;
  log_reader& operator=(const log_reader&) = delete;
  // A line without its end of line (or its first kLongestLine + 1 bytes).
  void output_line(const std::string& line);
  // cut: the file ended before the line's end of line.
  void run_line(const std::string& line, bool cut);
  log_result finish();

 private:
  struct state;
  std::unique_ptr<state> s_;
};

// Reads the run file (and the standard output, unless ""), line by line;
// false, and why ("PATH: cannot read it (...)"), when either cannot be read.
// Only the first 64 MiB of each are read.
bool read_log(const std::string& run, const std::string& output,
              const std::vector<log_child>& children, log_result* r, std::string* why);
// A fleet's file naming: NAME.out beside NAME.run holds that device's
// standard output. The path of that file when it is there, else "".
std::string output_beside(const std::string& run);
// Each path given that is no directory, in order, and in each directory the
// files named *.run, sorted, the directories below it included (without
// following links to directories).
void find_run_files(const std::vector<std::string>& paths,
                    const std::function<void(const std::string&)>& found);

// Many devices' run files summed up.
struct fleet_summary {
  int files = 0, devices = 0, unreadable = 0, not_run_files = 0, warned = 0;
  std::vector<std::string> errors;  // the first few files that failed, and why
  int outcomes[7] = {};             // devices per outcome, in log_outcomes' order
  struct child {
    int devices = 0, ends = 0, loops = 0;  // failed ends: no request, no exit status 0
    std::map<std::string, int> causes;     // in words
  };
  std::map<std::string, child> children;  // by name
};
// One file: its result, or null and why it cannot be read.
void fleet_add(fleet_summary& f, const std::string& path, const log_result* r,
               const std::string& why);
void write_fleet(FILE* out, const fleet_summary& f);
