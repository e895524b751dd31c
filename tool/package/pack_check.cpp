// SPDX-License-Identifier: MIT
// pack: the tree SRC judged against the board before it is packed.
#include <algorithm>

#include "common.hpp"
#include "entry.hpp"

namespace {

// Judges the program at src/rel against the board b.
void judge_file(report& rep, const std::string& path, const board& b, bool any) {
  std::vector<unsigned char> data;
  std::string why;
  elf_id id;
  if (!read_whole(path, &data, &why))
    rep.problem(path, "cannot read it (%s)", why.c_str());
  else if (!any || elf_parse(data.data(), data.size(), &id))
    check_program_bytes(rep, path, data.data(), data.size(), b);
}

// Every configured child must be in the tree, executable and built for b.
void check_children(report& rep, const std::string& src, const std::vector<std::string>& children,
                    const std::vector<tree_member>& members, const board& b) {
  for (const std::string& child : children) {
    std::string path = src + "/" + child;
    auto m = std::find_if(members.begin(), members.end(),
                          [&](const tree_member& x) { return x.rel == child; });
    if (m == members.end() || m->dir) {
      rep.problem(path, "%s configured child: %s",
                  m == members.end() ? "missing" : "a directory, not a", kFallsBack);
      continue;
    }
    if (!m->exec) rep.problem(path, "not executable: %s", kFallsBack);
    judge_file(rep, path, b, false);
  }
}

}  // namespace

void check_tree(report& rep, const options& opt, const std::vector<tree_member>& members) {
  const std::string& src = opt.args[0];
  bool programs = std::any_of(members.begin(), members.end(),
                              [](const tree_member& m) { return !m.dir && m.exec; });
  if (!opt.config && !opt.arch && !opt.daemon) {
    if (programs)
      rep.note(src,
               "its programs are not checked against a board: give --config CONFIG (with the "
               "daemon binary beside it) or --arch NAME");
    return;
  }
  std::vector<std::string> children;
  bool known = opt.config && configured_children(opt.config, &children);
  if (opt.config && !known)
    rep.problem(opt.config, "the daemon cannot load it: run minder-tool check");
  board b;
  if (known)
    find_board(rep, dir_of(opt.config), children, opt, &b);
  else if (!opt.config)
    find_board(rep, "", {}, opt, &b);
  for (const tree_member& m : members) {
    if (m.dir) continue;
    std::string why = never_read(m.rel, m.exec, known ? &children : nullptr);
    if (!why.empty()) rep.problem(src + "/" + m.rel, "%s", why.c_str());
    if (!opt.config && m.exec) judge_file(rep, src + "/" + m.rel, b, true);
  }
  if (known) check_children(rep, src, children, members, b);
}
