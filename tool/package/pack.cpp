// SPDX-License-Identifier: MIT
// pack SRC -o FILE: a reproducible upgrade package of the tree SRC, which
// lands in ../data/ on the device.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "entry.hpp"

namespace {

// Sets the reason and fails.
bool fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

struct entry_freer {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// Collects the tree below src/rel; anything but files and directories is a problem.
void collect(report& rep, const std::string& src, const std::string& rel,
             std::vector<tree_member>* out) {
  std::string dir = rel.empty() ? src : src + "/" + rel;
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  if (!d) return rep.problem(dir, "cannot read the directory (%s)", strerror(errno));
  std::vector<std::string> names;
  for (dirent* e; (e = readdir(d.get()));)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name, inner = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    const char* reserved = rel.empty() ? reserved_name(name) : nullptr;
    if (reserved) {
      rep.problem(path,
                  "in ../data/ this is %s, which the daemon writes: a package must not "
                  "hold it",
                  reserved);
    } else if (lstat(path.c_str(), &st) != 0) {
      rep.problem(path, "cannot stat it (%s)", strerror(errno));
    } else if (S_ISDIR(st.st_mode)) {
      out->push_back({inner, true, true, 0});
      collect(rep, src, inner, out);
    } else if (S_ISREG(st.st_mode)) {
      out->push_back({inner, false, (st.st_mode & 0111) != 0, st.st_size});
    } else {
      rep.problem(path, "%s: a package holds regular files and directories only",
                  S_ISLNK(st.st_mode) ? "a symbolic link" : "a device, FIFO or socket");
    }
  }
}

bool write_member(archive* a, const std::string& src, const tree_member& m, time_t stamp,
                  std::string* why) {
  std::unique_ptr<archive_entry, entry_freer> e(archive_entry_new());
  archive_entry_set_pathname(e.get(), m.rel.c_str());
  archive_entry_set_filetype(e.get(), m.dir ? AE_IFDIR : AE_IFREG);
  archive_entry_set_perm(e.get(), m.exec ? 0755 : 0644);
  archive_entry_set_size(e.get(), m.dir ? 0 : m.size);
  archive_entry_set_mtime(e.get(), stamp, 0);
  archive_entry_set_uid(e.get(), 0);
  archive_entry_set_gid(e.get(), 0);
  if (archive_write_header(a, e.get()) != ARCHIVE_OK) return fail(why, archive_why(a));
  if (m.dir) return true;
  std::string path = src + "/" + m.rel;
  unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return fail(why, path + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(why, path + ": no longer a regular file");
  char buf[65536];
  off_t total = 0;
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0; total += n) {
    if (n < 0) return fail(why, path + ": " + strerror(errno));
    if (total + n > m.size) break;
    if (archive_write_data(a, buf, static_cast<size_t>(n)) != n) return fail(why, archive_why(a));
  }
  if (total != m.size) return fail(why, path + ": changed while it was packed");
  return true;
}

// Writes the members to fd as a gzip tar with nothing that varies between runs.
bool write_package(int fd, const std::string& src, const std::vector<tree_member>& members,
                   time_t stamp, std::string* why) {
  std::unique_ptr<archive, archive_writer_freer> a(archive_write_new());
  bool ok = a && archive_write_set_format_pax_restricted(a.get()) == ARCHIVE_OK &&
            archive_write_add_filter_gzip(a.get()) == ARCHIVE_OK &&
            archive_write_set_filter_option(a.get(), "gzip", "timestamp", nullptr) == ARCHIVE_OK &&
            archive_write_open_fd(a.get(), fd) == ARCHIVE_OK;
  if (!ok) return fail(why, a ? archive_why(a.get()) : "out of memory");
  for (const tree_member& m : members)
    if (!write_member(a.get(), src, m, stamp, why)) return false;
  if (archive_write_close(a.get()) != ARCHIVE_OK) return fail(why, archive_why(a.get()));
  return true;
}

}  // namespace

int cmd_pack(const options& opt) {
  report rep;
  const std::string& src = opt.args[0];
  time_t stamp = 0;
  if (const char* epoch = getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(epoch, &end, 10);
    if (*end || errno || v < 0) {
      fprintf(stderr, "minder-tool: SOURCE_DATE_EPOCH is not a number of seconds\n");
      return 2;
    }
    stamp = static_cast<time_t>(v);
  }
  struct stat st;
  if (stat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    rep.problem(src, "not a directory");
    return rep.status();
  }
  std::vector<tree_member> members;
  collect(rep, src, "", &members);
  std::sort(members.begin(), members.end(),
            [](const tree_member& x, const tree_member& y) { return x.rel < y.rel; });
  if (members.empty() && rep.problems() == 0)
    rep.problem(src,
                "empty: the package would install nothing, yet switch the device to data mode");
  check_tree(rep, opt, members);
  if (rep.problems()) {
    rep.note(opt.out, "not written");
    return rep.status();
  }
  // A new file of its own: never one that is there already, nor a link's target.
  std::string tmp = std::string(opt.out) + ".tmp";
  unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    rep.problem(opt.out, "not written: %s: %s%s", tmp.c_str(), strerror(errno),
                errno == EEXIST ? " (left by a pack that was cut off, or planted: remove it)" : "");
    return rep.status();
  }
  std::string why;
  if (!write_package(fd.get(), src, members, stamp, &why) || close(fd.release()) != 0 ||
      rename(tmp.c_str(), opt.out) != 0) {
    if (why.empty()) why = strerror(errno);
    unlink(tmp.c_str());
    rep.problem(opt.out, "not written: %s", why.c_str());
    return rep.status();
  }
  size_t dirs =
      std::count_if(members.begin(), members.end(), [](const tree_member& m) { return m.dir; });
  rep.note(opt.out, "%zu file(s) and %zu directory(ies), owner 0:0, time stamp %lld",
           members.size() - dirs, dirs, static_cast<long long>(stamp));
  return 0;
}
