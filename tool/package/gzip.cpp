// SPDX-License-Identifier: MIT
// Whether a gzip file is whole as gzip -d, and so tar -zxf, judges it. The tar
// reader stops at the archive's end marker and libarchive checks neither the
// CRC nor the length in a member's trailer, nor what follows the last member.
#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "entry.hpp"

namespace {

class inflater {
 public:
  inflater() { ok_ = inflateInit2(&z, 15 + 16) == Z_OK; }  // gzip members only
  ~inflater() {
    if (ok_) inflateEnd(&z);
  }
  inflater(const inflater&) = delete;
  inflater& operator=(const inflater&) = delete;
  bool ok() const { return ok_; }
  z_stream z{};

 private:
  bool ok_;
};

constexpr char kUnpacksThenFails[] = "tar -zxf unpacks the files, then fails (GNU and BusyBox tar)";

std::string damaged(const char* what, const char* tar) {
  return std::string("damaged gzip stream: ") + what + ": " + tar;
}

}  // namespace

std::string gzip_damage(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) return std::string("cannot read it again: ") + strerror(errno);
  inflater inf;
  if (!inf.ok()) return "cannot check the gzip stream: out of memory";
  z_stream& z = inf.z;
  unsigned char in[16384], out[16384];
  z.next_in = in;
  bool member = true, padded = false, eof = false;
  for (;;) {
    if (z.avail_in < 2 && !eof) {  // two bytes tell the start of a further member
      memmove(in, z.next_in, z.avail_in);
      z.next_in = in;
      ssize_t n = read(fd, in + z.avail_in, sizeof in - z.avail_in);
      if (n < 0) return std::string("cannot read it: ") + strerror(errno);
      eof = n == 0;
      z.avail_in += static_cast<uInt>(n);
    }
    if (!member) {
      if (z.avail_in == 0) return "";
      if (!padded && z.avail_in >= 2 && z.next_in[0] == 0x1f && z.next_in[1] == 0x8b) {
        member = inflateReset(&z) == Z_OK;
        continue;
      }
      // Zeros after the last member are padding that gzip -d passes over.
      unsigned char* nonzero =
          std::find_if(z.next_in, z.next_in + z.avail_in, [](unsigned char c) { return c != 0; });
      if (nonzero != z.next_in + z.avail_in)
        return "garbage after the gzip stream: GNU tar -zxf unpacks the files, then fails "
               "(BusyBox tar passes over it)";
      padded = true;
      z.next_in += z.avail_in;
      z.avail_in = 0;
      continue;
    }
    z.next_out = out;
    z.avail_out = sizeof out;
    int r = inflate(&z, Z_NO_FLUSH);
    if (r == Z_STREAM_END) member = false;
    if (r == Z_STREAM_END || r == Z_OK || (r == Z_BUF_ERROR && !eof)) continue;
    if (r == Z_BUF_ERROR) return damaged("the file ends inside it", kUnpacksThenFails);
    const char* why = z.msg ? z.msg : "unknown error";
    if (strcmp(why, "incorrect data check") == 0)
      return damaged("its CRC does not match the data", kUnpacksThenFails);
    if (strcmp(why, "incorrect length check") == 0)
      return damaged("its length field does not match the data", kUnpacksThenFails);
    return damaged(why, "tar -zxf fails");
  }
}
