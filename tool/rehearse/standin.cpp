// SPDX-License-Identifier: MIT
// The rehearsal's copy of the program directory, and the stand-ins it shares
// with the copy of the package. A child the board cannot execute would run
// here (natively, or under an emulator that finds what the board lacks): in
// the copies it is a script that fails as execv fails on the board, with the
// daemon's text and exit status 129.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "rehearsal.hpp"

namespace {

// text between single quotes for the shell.
std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

std::string standin_script(const std::string& why, const char* error) {
  return "#!/bin/sh\n"
         "# minder-tool rehearse stands in for a program the board cannot execute\n"
         "# (" +
         why +
         "): it fails as execv fails there.\n"
         "printf '%s\\n' \"failed to exec $0, error is " +
         error +
         "\"\n"
         "exit 129\n";
}

namespace {

// A finding's text without what it says of execv: the stand-in says that.
std::string reason_of(const std::string& text) {
  size_t at = text.rfind(std::string(": ") + kNoExec);
  return at == std::string::npos ? text : text.substr(0, at);
}

}  // namespace

verdict board_verdict(const rehearsal& r, const unsigned char* image, size_t len, std::string* why,
                      const char** error) {
  elf_id id;
  if (!elf_parse(image, len, &id)) return verdict::runs;  // the board's kernel judges it as here
  // With the board's root, its C library is the one whose loader the program
  // asks for, when the root holds that loader.
  board b = r.b;
  std::string interp;
  if (!r.rootfs.empty() && elf_interp(image, len, id, &interp) == kInterp &&
      exists_in_root(r.rootfs, interp))
    b.glibc = interp.find("/ld-musl-") == std::string::npos;
  for (const finding& f : judge_elf(image, len, id, b)) {
    if (f.kind != finding::refused) continue;
    *why = reason_of(f.text);
    *error = id == r.b.id && why->find("program interpreter") != std::string::npos
                 ? "No such file or directory"
                 : "Exec format error";
    return verdict::refused;
  }
  if (elf_interp(image, len, id, &interp) != kInterp) return verdict::runs;
  *why = interp;
  if (r.rootfs.empty()) return verdict::needs_root;
  if (exists_in_root(r.rootfs, interp)) return verdict::runs;
  *why = "its program interpreter " + interp + " is not in the board's root";
  *error = "No such file or directory";
  return verdict::refused;
}

bool stand_in(rehearsal& r, const std::string& where, const std::string& name,
              const std::vector<unsigned char>& image, std::string* text) {
  std::string why;
  const char* error = "";
  verdict v = board_verdict(r, image.data(), image.size(), &why, &error);
  elf_id id;
  if (v == verdict::runs && elf_parse(image.data(), image.size(), &id))
    for (const finding& f : judge_elf(image.data(), image.size(), id, r.b))
      if (f.kind == finding::dies) r.dies.push_back({where, name, f.text});
  if (v == verdict::needs_root) r.needs_root.push_back(where + ": " + name + " (" + why + ")");
  if (v != verdict::refused) return false;
  r.standins.push_back({where, name, why});
  *text = standin_script(why, error);
  return true;
}

namespace {

// Copies one directory of DIR, links as links, with stand-ins for children.
bool copy_dir(rehearsal& r, const std::string& from, const std::string& to, bool top,
              std::string* why) {
  std::unique_ptr<DIR, dir_closer> d(opendir(from.c_str()));
  if (!d) {
    *why = from + ": " + strerror(errno);
    return false;
  }
  for (dirent* e; (e = readdir(d.get()));) {
    std::string name = e->d_name, src = from + "/" + name, dst = to + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || lstat(src.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      // Writable while it is filled, then its own mode, which may deny writing.
      if (mkdir(dst.c_str(), 0700) != 0) {
        *why = dst + ": " + strerror(errno);
        return false;
      }
      if (!copy_dir(r, src, dst, false, why)) return false;
      chmod(dst.c_str(), st.st_mode & 07777);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      ssize_t n = readlink(src.c_str(), target, sizeof target - 1);
      if (n >= 0) target[n] = '\0';
      if (n < 0 || symlink(target, dst.c_str()) != 0) {
        *why = src + ": " + strerror(errno);
        return false;
      }
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;  // a FIFO, a socket, a device: not the tool's to copy
    bool child = top && std::find(r.children.begin(), r.children.end(), name) != r.children.end();
    std::vector<unsigned char> image;
    std::string text;
    if (child && read_whole(src, &image, why) &&
        stand_in(r, "program directory", name, image, &text)) {
      if (!write_text(dst, text, st.st_mode & 07777, why)) return false;
    } else if (!copy_to(src, dst, st.st_mode & 07777, why)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool copy_program_dir(rehearsal& r, std::string* why) {
  std::string prog = r.work + "/prog";
  return mkdir(prog.c_str(), 0755) == 0 ? copy_dir(r, r.dir, prog, true, why)
                                        : (*why = prog + ": " + strerror(errno), false);
}

bool install_requester(const rehearsal& r, std::string* why) {
  const std::string& first = r.children[0];
  size_t base = first.rfind('/') + 1;  // 0 without a slash
  std::string prog = r.work + "/prog";
  std::string hidden = first.substr(0, base) + ".rehearse-" + first.substr(base);
  if (rename((prog + "/" + first).c_str(), (prog + "/" + hidden).c_str()) != 0 && errno != ENOENT) {
    *why = prog + "/" + first + ": " + strerror(errno);
    return false;
  }
  std::string text =
      "#!/bin/sh\n"
      "# minder-tool rehearse: this child asks for the upgrade once, as a child on\n"
      "# the device does, the package being in place; its program is put back first.\n"
      "mv -f " +
      quoted(r.prog + "/" + hidden) + " " + quoted(r.prog + "/" + first) +
      " || exit 1\n"
      "exit 130\n";
  return write_text(prog + "/" + first, text, 0755, why);
}
