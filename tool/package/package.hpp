// SPDX-License-Identifier: MIT
// Upgrade packages and what they leave on the device: pack builds one,
// inspect flags what in one would hurt, record reads the boot-check record in
// a data directory. Also what other parts use of archives and of the record.
#pragma once

#include <string>
#include <vector>

#include "tool.hpp"

struct archive;

// libarchive's text for the last error of a.
const char* archive_why(archive* a);

// Free a libarchive reader or writer: deleters for std::unique_ptr.
struct archive_reader_freer {
  void operator()(archive* a) const;
};
struct archive_writer_freer {
  void operator()(archive* a) const;
};

// A package member's path as it lands below ../data/: leading "./" and
// trailing "/" dropped.
std::string landing(const char* path);

// The boot-check record in a data directory, read with the daemon's code.
struct record_view {
  bool read = false;  // the file is there and could be read
  std::string shown;  // its first bytes, escaped
  std::string says;   // the mode the next cycle will use, and why
  bool data_mode = false;
  bool blob = false;  // it lists a script blob (luadata)
};
record_view read_record(const std::string& data_dir);

// Why the daemon never reads the regular file that lands in ../data/ at path
// (as landing gives it; executable: it has an x bit): a config, or a program
// that none of children names (null: the children are not known). Empty
// when it may be read.
std::string never_read(const std::string& path, bool executable,
                       const std::vector<std::string>* children);

int cmd_pack(const options& opt);
int cmd_inspect(const options& opt);
int cmd_record(const options& opt);
