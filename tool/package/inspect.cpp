// SPDX-License-Identifier: MIT
// inspect FILE: what an upgrade package would install into ../data/ with
// "tar -zxf", and what of it would hurt on the device.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "entry.hpp"

namespace {

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
  rep.problem(file, "%s: tar -zxf fails and %s", what, kNotWhole);
  return false;
}

// Why the package cannot be read: libarchive's reason, or, where it gives
// none (a gzip stream cut short), what is wrong with the gzip stream.
void unreadable(report& rep, const std::string& file, const std::string& at, archive* a, int fd) {
  std::string damage = archive_error_string(a) ? "" : gzip_damage(fd);
  if (!damage.empty()) return rep.problem(file, "%s, and %s", damage.c_str(), kNotWhole);
  rep.problem(file, "%s: %s: tar -zxf fails and %s", at.c_str(), archive_why(a), kNotWhole);
}

// The board, from --config, --arch or --daemon: with --config the configured
// children are judged, else every program in the package.
void board_for(report& rep, const options& opt, unpacking* u) {
  if (opt.config) {
    std::vector<std::string> names;
    if (!configured_children(opt.config, &names))
      rep.problem(opt.config, "the daemon cannot load it: run minder-tool check");
    for (const std::string& n : names) u->children.push_back({n});
    if (!names.empty()) find_board(rep, dir_of(opt.config), names, opt, &u->b);
  } else if (opt.arch || opt.daemon) {
    find_board(rep, "", {}, opt, &u->b);
    u->every_program = true;
  }
}

}  // namespace

int cmd_inspect(const options& opt) {
  report rep;
  const std::string& file = opt.args[0];
  unpacking u;
  board_for(rep, opt, &u);
  std::string why;
  unique_fd fd(open_input(file, &why));
  if (fd.get() < 0) {
    rep.problem(file, "cannot read it (%s)", why.c_str());
    return rep.status();
  }
  std::unique_ptr<archive, archive_reader_freer> a(archive_read_new());
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
    std::string mode = mode_text(archive_entry_mode(e));
    if (archive_entry_hardlink(e)) mode[0] = 'h';
    rep.note(file, "%s %lld/%lld %10lld %s", mode.c_str(),
             static_cast<long long>(archive_entry_uid(e)),
             static_cast<long long>(archive_entry_gid(e)),
             static_cast<long long>(archive_entry_size(e)), raw ? raw : "?");
    judge_entry(rep, file + ": " + (raw ? raw : "?"), a.get(), e, u);
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
    rep.problem(file, "%s, and %s", damage.c_str(), kNotWhole);
  }
  for (const unpacking::child& c : u.children)
    if (!c.found) rep.problem(file + ": " + c.name, "missing configured child: %s", kFallsBack);
  if (!opt.config && !opt.arch && !opt.daemon && u.programs > 0)
    rep.note(file,
             "its programs are not checked against a board: give --config CONFIG (with the "
             "daemon binary beside it) or --arch NAME");
  if (rep.problems() == 0)
    rep.note(file, "%d entries, nothing found that would hurt", entries);
  else
    rep.note(file, "%d entries, %d problem(s) found: not ready to ship", entries, rep.problems());
  return rep.status();
}
