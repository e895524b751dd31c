// SPDX-License-Identifier: MIT
// The rehearsal's copy of the package: as it is, or rewritten entry by entry
// with stand-ins for the children the board cannot execute.
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "package.hpp"
#include "rehearsal.hpp"

namespace {

// Copies the current entry of in to out, or a stand-in in its place when it
// is a child the board cannot execute.
bool copy_entry(rehearsal& r, archive* in, archive* out, archive_entry* e, std::string* why) {
  std::string path = landing(archive_entry_pathname(e) ? archive_entry_pathname(e) : "");
  bool file = archive_entry_filetype(e) == AE_IFREG;
  bool child = file && std::find(r.children.begin(), r.children.end(), path) != r.children.end();
  std::string unread = never_read(path, file && (archive_entry_perm(e) & 0111), &r.children);
  if (!unread.empty()) r.ignored.push_back(path + ": " + unread);
  std::vector<unsigned char> image;
  char buf[65536];
  for (la_ssize_t n;
       child && image.size() <= kProgramMax && (n = archive_read_data(in, buf, sizeof buf)) > 0;)
    image.insert(image.end(), buf, buf + n);
  std::string text;
  if (child && stand_in(r, r.package, path, image, &text)) {
    archive_entry_set_size(e, static_cast<la_int64_t>(text.size()));
    return archive_write_header(out, e) == ARCHIVE_OK &&
           archive_write_data(out, text.data(), text.size()) ==
               static_cast<la_ssize_t>(text.size());
  }
  if (archive_write_header(out, e) != ARCHIVE_OK) return false;
  if (!image.empty() &&
      archive_write_data(out, image.data(), image.size()) != static_cast<la_ssize_t>(image.size()))
    return false;
  for (la_ssize_t n; (n = archive_read_data(in, buf, sizeof buf)) != 0;)
    if (n < 0 || archive_write_data(out, buf, static_cast<size_t>(n)) != n) {
      *why = archive_why(n < 0 ? in : out);
      return false;
    }
  return true;
}

// Rewrites the package into to, in its own tar format, gzip-compressed.
bool rewrite_package(rehearsal& r, const std::string& to, std::string* why) {
  std::unique_ptr<archive, archive_reader_freer> in(archive_read_new());
  archive_read_support_filter_gzip(in.get());
  archive_read_support_format_tar(in.get());
  std::unique_ptr<archive, archive_writer_freer> out(archive_write_new());
  if (archive_read_open_filename(in.get(), r.package.c_str(), 65536) != ARCHIVE_OK) {
    *why = archive_why(in.get());
    return false;
  }
  archive_entry* e = nullptr;
  int read = ARCHIVE_OK;
  bool opened = false;
  while ((read = archive_read_next_header(in.get(), &e)) == ARCHIVE_OK) {
    if (!opened) {
      if (archive_write_set_format(out.get(), archive_format(in.get())) != ARCHIVE_OK)
        archive_write_set_format_pax_restricted(out.get());
      opened = archive_write_add_filter_gzip(out.get()) == ARCHIVE_OK &&
               archive_write_open_filename(out.get(), to.c_str()) == ARCHIVE_OK;
      if (!opened) return *why = archive_why(out.get()), false;
    }
    if (!copy_entry(r, in.get(), out.get(), e, why)) {
      if (why->empty()) *why = archive_why(out.get());
      return false;
    }
  }
  if (read != ARCHIVE_EOF) return *why = archive_why(in.get()), false;
  return opened && archive_write_close(out.get()) == ARCHIVE_OK;
}

}  // namespace

// A package the tar on the board reads as it is, unless a child needs a
// stand-in: then its rewritten copy. One that cannot be read whole goes as it
// is, so that the board's tar meets it as it would on the device.
bool copy_package(rehearsal& r, std::string* why) {
  std::string to = r.work + "/package.tgz", rewritten = r.work + "/package.rewritten";
  size_t before = r.standins.size();
  std::string err;
  if (rewrite_package(r, rewritten, &err) && r.standins.size() > before) {
    if (rename(rewritten.c_str(), to.c_str()) == 0) return true;
    *why = to + ": " + strerror(errno);
    return false;
  }
  unlink(rewritten.c_str());
  if (!err.empty())
    r.notes.push_back(r.package + ": cannot be read whole (" + err +
                      "): the board's tar gets it as it is, no stand-ins in it");
  r.standins.resize(before);
  return copy_to(r.package, to, 0644, why);
}
