// SPDX-License-Identifier: MIT
// What "tar -zxf" makes of one entry of an upgrade package in ../data/, and
// what of it would hurt on the device.
#include "entry.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <string.h>

#include <algorithm>

namespace {

bool has_dotdot(const std::string& p) {
  for (size_t start = 0;;) {
    size_t slash = p.find('/', start);
    if (p.compare(start, slash - start, "..") == 0) return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

// Flags an entry that tar cannot put in its place: below a path that an
// earlier entry made a file, or over one of another kind.
void judge_place(report& rep, const std::string& where, std::string path, bool dir, unpacking& u) {
  path.erase(0, path.find_first_not_of('/'));  // tar strips a leading /
  if (path.empty()) return;
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    auto it = u.landed.find(parent);
    if (it != u.landed.end() && !it->second)
      return rep.problem(where,
                         "%s is a file from an earlier entry: tar cannot make this entry below "
                         "it and fails (GNU tar with exit 2, BusyBox tar with 1), and %s",
                         parent.c_str(), kNoData);
    u.landed[parent] = true;  // tar makes the missing directories
  }
  auto it = u.landed.find(path);
  if (it != u.landed.end() && it->second && !dir)
    rep.problem(where,
                "a directory from an earlier entry: tar cannot put a file in its place and "
                "fails (GNU tar with exit 2, BusyBox tar with 1), and %s",
                kNoData);
  if (it != u.landed.end() && !it->second && dir)
    rep.problem(where,
                "a file from an earlier entry: BusyBox tar fails on this directory (exit 1; GNU "
                "tar replaces the file), and then %s",
                kNoData);
  u.landed[path] = dir;
}

// Owner and group names other than root's: tar run as root on the device
// gives the file to the user and group of those names where it has them,
// whatever the numbers say.
void judge_names(report& rep, const std::string& where, archive_entry* e) {
  const char* user = archive_entry_uname(e);
  const char* group = archive_entry_gname(e);
  if (user && *user && strcmp(user, "root") != 0)
    rep.problem(where,
                "owner name \"%s\": tar run as root on the device gives the file to the user of "
                "that name where the device has one, before it looks at the number",
                user);
  if (group && *group && strcmp(group, "root") != 0)
    rep.problem(where,
                "group name \"%s\": tar run as root on the device gives the file to the group of "
                "that name where the device has one, before it looks at the number",
                group);
}

// Flags what the board's tar cannot or should not unpack from a file or directory.
void judge_content(report& rep, const std::string& where, const std::string& path,
                   archive_entry* e) {
  std::string first = path.substr(0, path.find('/'));
  if (const char* what = reserved_name(first))
    rep.problem(where,
                "%s in ../data/ is %s, which the daemon writes: a package must not hold it (as "
                "a directory it makes every write of it fail)",
                first.c_str(), what);
  if (archive_entry_sparse_count(e) > 0)
    rep.problem(where,
                "a sparse file: BusyBox tar on the board fails on it (\"unknown typeflag: "
                "0x53\") or, from a pax archive, unpacks its packed form below GNUSparseFile.N/");
  if (archive_entry_perm(e) & 07000)
    rep.problem(where,
                "mode %04o has the set-user-ID, set-group-ID or sticky bit: tar run as root on "
                "the device keeps it",
                archive_entry_perm(e));
}

// Judges a regular entry as a program: a configured child, or with
// every_program any executable file.
void judge_program(report& rep, const std::string& where, archive* a, archive_entry* e,
                   const std::string& path, unpacking& u) {
  auto child = std::find_if(u.children.begin(), u.children.end(),
                            [&](const unpacking::child& c) { return c.name == path; });
  bool exec = archive_entry_perm(e) & 0111;
  bool file = archive_entry_filetype(e) == AE_IFREG;
  u.programs += exec && file;
  if (file) {
    std::vector<std::string> names;
    for (const unpacking::child& c : u.children) names.push_back(c.name);
    std::string why = never_read(path, exec, u.children.empty() ? nullptr : &names);
    if (!why.empty()) rep.problem(where, "%s", why.c_str());
  }
  if (child == u.children.end() && !(u.every_program && exec && file)) return;
  if (child != u.children.end()) {
    child->found = true;
    if (!file) return rep.problem(where, "a directory, not the configured child: %s", kFallsBack);
    if (!exec)
      rep.problem(where, "configured child, not executable (mode %04o): %s", archive_entry_perm(e),
                  kFallsBack);
  }
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  for (la_ssize_t n; data.size() <= kProgramMax && (n = archive_read_data(a, buf, sizeof buf)) > 0;)
    data.insert(data.end(), buf, buf + n);
  elf_id id;
  if (child != u.children.end() || elf_parse(data.data(), data.size(), &id))
    check_program_bytes(rep, where, data.data(), data.size(), u.b);
}

}  // namespace

void judge_entry(report& rep, const std::string& where, archive* a, archive_entry* e,
                 unpacking& u) {
  const char* raw = archive_entry_pathname(e);
  std::string path = landing(raw ? raw : "");
  mode_t type = archive_entry_filetype(e);
  long long uid = archive_entry_uid(e), gid = archive_entry_gid(e);
  if (raw && raw[0] == '/')
    rep.problem(where, "absolute path: tar strips the leading / or refuses the entry");
  if (has_dotdot(path))
    rep.problem(where,
                "a \"..\" in the path: it points outside ../data/; tar refuses it or "
                "writes outside the data directory");
  judge_place(rep, where, path, type == AE_IFDIR && !archive_entry_hardlink(e), u);
  if (archive_entry_hardlink(e))
    return rep.problem(where, "a hard link to %s: packages hold files and directories only",
                       archive_entry_hardlink(e));
  if (type == AE_IFLNK)
    return rep.problem(where, "a symbolic link to %s: packages hold files and directories only",
                       archive_entry_symlink(e) ? archive_entry_symlink(e) : "?");
  if (type != AE_IFREG && type != AE_IFDIR)
    return rep.problem(where, "a device, FIFO or socket: packages hold files and directories only");
  if (path.empty() && type == AE_IFDIR)
    return rep.problem(where,
                       "the entry for the data directory itself: tar sets ../data/ to "
                       "mode %04o and owner %lld:%lld",
                       archive_entry_perm(e), uid, gid);
  if (uid != 0 || gid != 0)
    rep.problem(where, "owner %lld:%lld: tar run as root on the device keeps it", uid, gid);
  judge_names(rep, where, e);
  judge_content(rep, where, path, e);
  judge_program(rep, where, a, e, path, u);
}
