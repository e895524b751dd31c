// SPDX-License-Identifier: MIT
// check DIR: what the daemon will make of DIR/config and the programs it names.
#include "check.hpp"

#include <sys/stat.h>

#include "board.hpp"

namespace {

// A child's program in the program directory, as execv will find it.
void check_program(report& rep, const std::string& dir, const std::string& name, const board& b) {
  std::string path = dir + "/" + name;
  const char* fails =
      "its start fails with 129, and at first boot the supervisor then ends "
      "(\"failed for normal boot, exit\")";
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return rep.problem(path, "missing: %s", fails);
  if (!S_ISREG(st.st_mode)) return rep.problem(path, "not a regular file: %s", fails);
  if (!(st.st_mode & 0111))
    return rep.problem(path, "not executable (mode %04o): %s", st.st_mode & 07777, fails);
  std::vector<unsigned char> data;
  std::string why;
  if (!read_whole(path, &data, &why)) return rep.problem(path, "cannot read it (%s)", why.c_str());
  check_program_bytes(rep, path, data.data(), data.size(), b);
}

}  // namespace

int cmd_check(const options& opt) {
  report rep;
  const std::string& dir = opt.args[0];
  std::string cfg = dir + "/config";
  // The daemon's verdict; the own parse below explains it.
  std::vector<std::string> loaded;
  bool loads = configured_children(cfg.c_str(), &loaded);
  std::string text;
  std::vector<std::string> names, named;
  json_ptr tree = parse_config(rep, cfg, &text);
  if (tree) check_structure(rep, cfg, tree.get(), &names, &named);
  if (loads) {
    names = loaded;
  } else if (rep.problems() == 0) {
    rep.problem(cfg, "%s", kNoStart);
  }
  board b;
  named.insert(named.end(), names.begin(), names.end());
  if (!names.empty()) find_board(rep, dir, named, opt, &b);
  for (const std::string& name : names) check_program(rep, dir, name, b);
  if (rep.problems() == 0) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    rep.note(cfg, "the daemon would start %s", list.c_str());
  }
  return rep.status();
}
