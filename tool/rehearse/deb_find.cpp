// SPDX-License-Identifier: MIT
// A program taken from a Debian package by what it is, not where it lies.
#include "deb_find.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "package.hpp"

namespace {

using reader = std::unique_ptr<archive, archive_reader_freer>;

// The inner archive (data.tar.*) reads the outer one's current member.
la_ssize_t read_member(archive*, void* outer, const void** buf) {
  size_t size = 0;
  la_int64_t offset = 0;
  int r = archive_read_data_block(static_cast<archive*>(outer), buf, &size, &offset);
  if (r == ARCHIVE_EOF) return 0;
  return r == ARCHIVE_OK ? static_cast<la_ssize_t>(size) : -1;
}

// The current member whole, at most 256 MiB.
bool read_image(archive* a, std::vector<unsigned char>* image, std::string* why) {
  image->clear();
  unsigned char buf[65536];
  for (la_ssize_t n; (n = archive_read_data(a, buf, sizeof buf)) != 0;) {
    if (n < 0 || image->size() > (256u << 20)) {
      *why = n < 0 ? archive_why(a) : "a member larger than 256 MiB";
      return false;
    }
    image->insert(image->end(), buf, buf + n);
  }
  return true;
}

bool save(const std::vector<unsigned char>& image, const std::string& to, std::string* why) {
  unique_fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
  if (out.get() >= 0 && write_all(out.get(), image.data(), image.size()) == 0 &&
      fsync(out.get()) == 0)
    return true;
  *why = to + ": " + strerror(errno);
  return false;
}

// Takes what is wanted from the data archive; found[i] tells which were.
bool take_wanted(archive* data, const std::vector<deb_want>& wants, const std::string& dir,
                 std::vector<size_t>* found, std::string* why) {
  archive_entry* e = nullptr;
  std::vector<unsigned char> image;
  int r;
  while ((r = archive_read_next_header(data, &e)) == ARCHIVE_OK) {
    if (archive_entry_filetype(e) != AE_IFREG) continue;
    std::string path = archive_entry_pathname(e);
    for (size_t i = 0; i < wants.size(); ++i) {
      const deb_want& w = wants[i];
      if (!deb_candidate(path, w)) continue;
      size_t rank = std::find(w.names.begin(), w.names.end(), path.substr(path.rfind('/') + 1)) -
                    w.names.begin();
      if (rank >= (*found)[i]) continue;  // one of a better name is taken
      if (image.empty() && !read_image(data, &image, why)) return false;
      if (!deb_fits(image.data(), image.size(), w)) continue;
      std::string to = dir + "/" + w.save_as;
      if ((*found)[i] != SIZE_MAX) unlink(to.c_str());
      if (!save(image, to, why)) return false;
      (*found)[i] = rank;
    }
    image.clear();
  }
  if (r == ARCHIVE_EOF) return true;
  *why = archive_why(data);
  return false;
}

}  // namespace

bool deb_candidate(const std::string& member, const deb_want& w) {
  size_t slash = member.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  std::string name = member.substr(slash + 1), dir = member.substr(0, slash);
  std::string last = dir.substr(dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/') + 1);
  return (last == "bin" || last == "sbin") &&
         std::find(w.names.begin(), w.names.end(), name) != w.names.end();
}

bool deb_fits(const unsigned char* image, size_t len, const deb_want& w) {
  elf_id id;
  std::string interp;
  if (!elf_parse(image, len, &id) || id != w.machine) return false;
  return !w.needs_static || elf_interp(image, len, id, &interp) == kNoInterp;
}

std::string deb_wanted(const deb_want& w) {
  std::string names;
  for (size_t i = 0; i < w.names.size(); ++i)
    names += (i == 0 ? "" : i + 1 == w.names.size() ? " or " : ", ") + w.names[i];
  return std::string(w.needs_static ? "static program" : "program") + " for " +
         elf_name(w.machine) + " named " + names + " in a bin directory";
}

bool unpack_wanted(const std::string& deb, const std::vector<deb_want>& wants,
                   const std::string& dir, std::string* why) {
  reader outer(archive_read_new());
  archive_read_support_format_ar(outer.get());
  if (archive_read_open_filename(outer.get(), deb.c_str(), 65536) != ARCHIVE_OK) {
    *why = deb + ": " + archive_why(outer.get());
    return false;
  }
  std::vector<size_t> found(wants.size(), SIZE_MAX);
  archive_entry* e = nullptr;
  while (archive_read_next_header(outer.get(), &e) == ARCHIVE_OK) {
    if (strncmp(archive_entry_pathname(e), "data.tar", 8) != 0) continue;
    reader inner(archive_read_new());
    archive_read_support_filter_all(inner.get());
    archive_read_support_format_tar(inner.get());
    if (archive_read_open(inner.get(), outer.get(), nullptr, read_member, nullptr) != ARCHIVE_OK ||
        !take_wanted(inner.get(), wants, dir, &found, why)) {
      *why = deb + ": " + (why->empty() ? archive_why(inner.get()) : *why);
      return false;
    }
    break;
  }
  for (size_t i = 0; i < wants.size(); ++i)
    if (found[i] == SIZE_MAX) {
      *why = deb.substr(deb.rfind('/') + 1) + " holds no " + deb_wanted(wants[i]);
      return false;
    }
  return true;
}
