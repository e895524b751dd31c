// SPDX-License-Identifier: MIT
// Within the package part: judging a package entry by entry as tar -zxf
// unpacks it, and the texts its findings share.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "board.hpp"
#include "package.hpp"

struct archive_entry;

// What happens on the device when a configured child cannot be executed from
// ../data/.
inline constexpr char kFallsBack[] =
    "in data mode its start fails with 129 and the device falls back to the shipped programs";

// What happens on the device when tar -zxf fails on a package.
inline constexpr char kNoData[] = "the daemon records the upgrade without plugindata";
// The same for a package that tar cannot read whole, which the daemon's test
// refuses over an earlier upgrade.
inline constexpr char kNotWhole[] =
    "the daemon records the upgrade without plugindata (over an earlier upgrade its test, tar "
    "-tzf, fails first and that upgrade runs on)";

// Empty when the gzip file fd is whole as gzip -d sees it (every member's CRC
// and length right, nothing but zeros after the last), else what is wrong and
// what tar -zxf does with it.
std::string gzip_damage(int fd);

// What the daemon keeps in ../data/ under name, when a package must not hold
// it at its root; else null.
const char* reserved_name(const std::string& name);

// A package as tar -zxf unpacks it, entry by entry: what is asked of it and
// what has landed so far.
struct unpacking {
  struct child {
    std::string name;
    bool found = false;
  };
  std::vector<child> children;  // the configured children, with --config
  board b;
  bool every_program = false;          // judge every executable file, not only children
  int programs = 0;                    // executable files seen
  std::map<std::string, bool> landed;  // path below ../data/: true for a directory
};

// Flags what tar would do with the entry e that hurts; reads the data of a
// program it judges.
void judge_entry(report& rep, const std::string& where, archive* a, archive_entry* e, unpacking& u);

// A file or directory of the tree pack packs.
struct tree_member {
  std::string rel;  // path inside the package, no leading "./"
  bool dir;
  bool exec;
  off_t size;
};

// pack's judgement of the tree SRC against the board of --config, --arch or
// --daemon: every configured child there and built for it, no file the daemon
// never reads; without a board, a note that its programs are not checked.
void check_tree(report& rep, const options& opt, const std::vector<tree_member>& members);

// "drwxr-xr-x" for a file type and mode.
std::string mode_text(mode_t mode);
