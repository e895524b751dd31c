// inspect FILE: what an upgrade package would install into ../data/ with
// "tar -zxf", and what of it would hurt on the device.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "tool.hpp"

namespace {

constexpr char kNoData[] = "the daemon records the upgrade without plugindata";

struct reader_freer {
  void operator()(archive* a) const { archive_read_free(a); }
};

// The path as it lands below ../data/: leading "./" and trailing "/" dropped.
std::string landing(const char* path) {
  std::string p = path;
  while (p.compare(0, 2, "./") == 0) p.erase(0, p.find_first_not_of('/', 1));
  while (!p.empty() && p.back() == '/') p.pop_back();
  return p == "." ? "" : p;
}

bool has_dotdot(const std::string& p) {
  for (size_t start = 0;;) {
    size_t slash = p.find('/', start);
    if (p.compare(start, slash - start, "..") == 0) return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

struct child_state {
  std::string name;
  bool found = false;
};

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

// Flags what tar would do with this entry that hurts; fills in the children it holds.
void judge(report& rep, const std::string& where, archive* a, archive_entry* e,
           std::vector<child_state>& children, const board& b) {
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
  judge_content(rep, where, path, e);
  auto child = std::find_if(children.begin(), children.end(),
                            [&](const child_state& c) { return c.name == path; });
  if (child == children.end()) return;
  child->found = true;
  if (type != AE_IFREG)
    return rep.problem(where, "a directory, not the configured child: %s", kFallsBack);
  if (!(archive_entry_perm(e) & 0111))
    rep.problem(where, "configured child, not executable (mode %04o): %s", archive_entry_perm(e),
                kFallsBack);
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  for (la_ssize_t n; data.size() <= kProgramMax && (n = archive_read_data(a, buf, sizeof buf)) > 0;)
    data.insert(data.end(), buf, buf + n);
  check_program_bytes(rep, where, data.data(), data.size(), b);
}

// Is it what "tar -zxf" reads: a gzip-compressed tar?
bool gzip_tar(report& rep, const std::string& file, archive* a) {
  bool gzip = archive_filter_code(a, 0) == ARCHIVE_FILTER_GZIP;
  bool tar = (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR;
  if (gzip && tar) return true;
  const char* what = gzip  ? "gzip-compressed, but not a tar"
                     : tar ? "a tar, but not gzip-compressed"
                           : "neither gzip-compressed nor a tar";
  if ((archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_EMPTY)
    what = "an empty file";
  rep.problem(file, "%s: tar -zxf fails and %s", what, kNoData);
  return false;
}

}  // namespace

const char* archive_why(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

namespace {

// Why the package cannot be read: libarchive's reason, or, where it gives
// none (a gzip stream cut short), what is wrong with the gzip stream.
void unreadable(report& rep, const std::string& file, const std::string& at, archive* a, int fd) {
  std::string damage = archive_error_string(a) ? "" : gzip_damage(fd);
  if (!damage.empty()) return rep.problem(file, "%s, and %s", damage.c_str(), kNoData);
  rep.problem(file, "%s: %s: tar -zxf fails and %s", at.c_str(), archive_why(a), kNoData);
}

}  // namespace

int cmd_inspect(const options& opt) {
  report rep;
  const std::string& file = opt.args[0];
  std::vector<child_state> children;
  board b;
  if (opt.config) {
    std::vector<std::string> names;
    if (!configured_children(opt.config, &names))
      rep.problem(opt.config, "the daemon cannot load it: run minder-tool check");
    for (const std::string& n : names) children.push_back({n});
    if (!names.empty()) find_board(rep, dir_of(opt.config), names, opt, &b);
  }
  std::string why;
  unique_fd fd(open_input(file, &why));
  if (fd.get() < 0) {
    rep.problem(file, "cannot read it (%s)", why.c_str());
    return rep.status();
  }
  std::unique_ptr<archive, reader_freer> a(archive_read_new());
  archive_read_support_filter_all(a.get());
  archive_read_support_format_all(a.get());
  archive_read_support_format_raw(a.get());
  if (archive_read_open_fd(a.get(), fd.get(), 16384) != ARCHIVE_OK) {
    unreadable(rep, file, "cannot read it", a.get(), fd.get());
    return rep.status();
  }
  int entries = 0, r = ARCHIVE_OK;
  archive_entry* e = nullptr;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    if (entries++ == 0 && !gzip_tar(rep, file, a.get())) return rep.status();
    const char* raw = archive_entry_pathname(e);
    rep.note(file, "%s %lld/%lld %10lld %s", mode_text(archive_entry_mode(e)).c_str(),
             static_cast<long long>(archive_entry_uid(e)),
             static_cast<long long>(archive_entry_gid(e)),
             static_cast<long long>(archive_entry_size(e)), raw ? raw : "?");
    judge(rep, file + ": " + (raw ? raw : "?"), a.get(), e, children, b);
  }
  if (r != ARCHIVE_EOF) {
    std::string at =
        entries ? "damaged after " + std::to_string(entries) + " entries" : "unreadable";
    unreadable(rep, file, at, a.get(), fd.get());
  } else if (entries == 0) {
    if (gzip_tar(rep, file, a.get()))
      rep.problem(file, "empty: nothing is installed, yet the next cycle runs in data mode");
  } else if (std::string damage = gzip_damage(fd.get()); !damage.empty()) {
    // The tar reader stops at the end marker: the rest of the stream is read here.
    rep.problem(file, "%s, and %s", damage.c_str(), kNoData);
  }
  for (const child_state& c : children)
    if (!c.found) rep.problem(file + ": " + c.name, "missing configured child: %s", kFallsBack);
  if (rep.problems() == 0) rep.note(file, "%d entries, nothing found that would hurt", entries);
  return rep.status();
}
