// SPDX-License-Identifier: MIT
// Judging a child's program by its contents, and telling the board it runs on
// from the daemon binary beside it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "elf.hpp"

namespace {

void check_script(report& rep, const std::string& where, const unsigned char* head, size_t len) {
  const char* text = reinterpret_cast<const char*>(head);
  size_t end = std::find(text, text + len, '\n') - text;
  if (end > 2 && text[end - 1] == '\r') {
    // The kernel splits the line at the first blank: interpreter, then one argument.
    std::string words(text + 2, end - 3);
    size_t start = std::min(words.find_first_not_of(" \t"), words.size());
    size_t gap = std::min(words.find_first_of(" \t", start), words.size());
    size_t arg = std::min(words.find_first_not_of(" \t", gap), words.size());
    std::string interp = words.substr(start, gap - start);
    if (gap == words.size())
      return rep.problem(where,
                         "the #! line ends in a carriage return (CRLF line ends): the kernel "
                         "looks for the interpreter \"%s\\r\": %s",
                         interp.c_str(), kNoExec);
    return rep.problem(where,
                       "the #! line ends in a carriage return (CRLF line ends): the interpreter "
                       "%s gets the argument \"%s\\r\"",
                       interp.c_str(), words.substr(arg).c_str());
  }
  bool cut = end > 128;
  std::string line(text, std::min<size_t>(end, 128));
  rep.note(where, "script, interpreter line \"%s\"%s", line.c_str(), cut ? " (cut)" : "");
}

// "built for 32-bit ARM, ARMv7-A (VFPv3-D16, hard-float), static: the board runs it".
std::string built_for(const unsigned char* data, size_t len, const elf_id& id, const board& b) {
  std::string text = "built for " + elf_name(id), interp;
  arm_cpu cpu;
  if (id.machine == 40 && elf_arm_cpu(data, len, &cpu)) text += ", " + cpu_name(cpu);
  if (elf_interp(data, len, id, &interp) == kInterp)
    text += ", dynamically linked (" + interp + ")";
  else
    text += ", statically linked";
  return text + (b.known ? ": the board runs it" : "");
}

}  // namespace

void check_program_bytes(report& rep, const std::string& where, const unsigned char* data,
                         size_t len, const board& b) {
  elf_id id;
  if (elf_parse(data, len, &id)) {
    std::string notes;
    bool good = true;
    for (const finding& f : judge_elf(data, len, id, b)) {
      if (f.kind == finding::note) {
        notes += "; " + f.text;
      } else {
        good = false;
        rep.problem(where, "%s", f.text.c_str());
      }
    }
    if (good) rep.note(where, "%s%s", built_for(data, len, id, b).c_str(), notes.c_str());
    return;
  }
  if (len >= 2 && data[0] == '#' && data[1] == '!') return check_script(rep, where, data, len);
  rep.problem(where, "%s: %s",
              len == 0 ? "empty file" : "neither an ELF program nor a script starting with #!",
              kNoExec);
}

bool elf_of(const std::string& path, elf_id* id) {
  unsigned char head[64];
  size_t len = 0;
  std::string why;
  return read_head(path, head, sizeof head, &len, &why) && elf_parse(head, len, id);
}

namespace {

// Whether path is this very tool, or a copy of it by its name: it is no daemon.
bool is_tool(const std::string& dir, const std::string& name) {
  struct stat self, st;
  if (name == "minder-tool") return true;
  return stat("/proc/self/exe", &self) == 0 && stat((dir + "/" + name).c_str(), &st) == 0 &&
         self.st_dev == st.st_dev && self.st_ino == st.st_ino;
}

// "minder 1.0.0", as the daemon binary path says of itself.
std::string version_text(const std::string& path) {
  std::string version = daemon_version(path);
  return version.empty() ? "no minder version in it" : "minder " + version;
}

// The CPU baseline of an ARM daemon binary, from its build attributes.
bool cpu_of(const std::string& path, const elf_id& id, arm_cpu* cpu) {
  std::vector<unsigned char> image;
  std::string why;
  *cpu = arm_cpu();
  return id.machine == 40 && read_whole(path, &image, &why) &&
         elf_arm_cpu(image.data(), image.size(), cpu);
}

// The C library the daemon binary path was built with: glibc when it asks
// for glibc's loader or, linked statically, carries glibc's tunables.
bool glibc_of(const std::string& path) {
  std::vector<unsigned char> image;
  std::string why, interp;
  elf_id id;
  if (!read_whole(path, &image, &why) || !elf_parse(image.data(), image.size(), &id)) return false;
  if (elf_interp(image.data(), image.size(), id, &interp) == kInterp)
    return interp.find("/ld-musl-") == std::string::npos;
  static const char kTunables[] = "GLIBC_TUNABLES";
  return std::search(image.begin(), image.end(), kTunables, kTunables + sizeof kTunables - 1) !=
         image.end();
}

bool same_cpu(const arm_cpu& a, const arm_cpu& b) {
  return a.known == b.known && a.arch == b.arch && a.fp == b.fp && a.simd == b.simd &&
         a.vfp_args == b.vfp_args;
}

// Names the daemon and the board it tells; the daemon's build tells the C
// library unless --libc did.
void tell(report& rep, const std::string& path, const options& opt, board* b) {
  if (!opt.libc) b->glibc = glibc_of(path);
  std::string libc = std::string(b->glibc ? "glibc" : "musl") + (opt.libc ? "" : " (its build)");
  if (b->id.machine != 40 || b->cpu.known)
    return rep.note(path, "the daemon (%s): the board is %s%s%s, C library %s",
                    version_text(path).c_str(), elf_name(b->id).c_str(), b->cpu.known ? ", " : "",
                    b->cpu.known ? cpu_name(b->cpu).c_str() : "", libc.c_str());
  rep.note(path,
           "the daemon (%s): the board is %s, C library %s; it has no ARM build attributes: the "
           "CPU is not checked (--arch armel or --arch armhf tells it)",
           version_text(path).c_str(), elf_name(b->id).c_str(), libc.c_str());
}

// The ELF programs in dir other than children and this tool: the daemon,
// when they agree.
void board_of_dir(report& rep, const std::string& dir, const std::vector<std::string>& children,
                  const options& opt, board* b) {
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  std::vector<std::string> found;
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string name = e->d_name;
    elf_id id;
    if (std::find(children.begin(), children.end(), name) != children.end()) continue;
    if (!elf_of(dir + "/" + name, &id) || is_tool(dir, name)) continue;
    if (!found.empty() && id != b->id) {
      rep.note(dir,
               "ELF programs for %s (%s) and %s (%s) beside the children: name the daemon "
               "with --daemon or give --arch; architectures not checked",
               elf_name(b->id).c_str(), found[0].c_str(), elf_name(id).c_str(), name.c_str());
      return;
    }
    b->id = id;
    found.push_back(name);
  }
  if (found.empty())
    return rep.note(dir,
                    "no daemon binary (an ELF program that is no child) here: architectures not "
                    "checked; give --arch or --daemon");
  std::sort(found.begin(), found.end());
  b->known = true;
  b->daemon = found[0];
  cpu_of(dir + "/" + found[0], b->id, &b->cpu);
  for (size_t i = 1; i < found.size(); ++i) {
    arm_cpu cpu;
    cpu_of(dir + "/" + found[i], b->id, &cpu);
    if (!same_cpu(cpu, b->cpu)) {
      b->cpu = arm_cpu();
      if (!opt.libc) b->glibc = glibc_of(dir + "/" + found[0]);
      return rep.note(dir,
                      "ELF programs built for different ARM CPUs (%s, %s) beside the children: "
                      "the CPU is not checked; name the daemon with --daemon or give --arch",
                      found[0].c_str(), found[i].c_str());
    }
  }
  tell(rep, dir + "/" + found[0], opt, b);
}

}  // namespace

void find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, board* b) {
  b->glibc = opt.libc && strcmp(opt.libc, "glibc") == 0;
  b->known = false;
  b->cpu = arm_cpu();
  if (opt.arch) {
    b->known = arch_by_name(opt.arch, &b->id, &b->cpu);
    return;
  }
  if (!opt.daemon) return board_of_dir(rep, dir, children, opt, b);
  std::string path = dir.empty() ? opt.daemon : dir + "/" + opt.daemon;
  b->known = elf_of(path, &b->id);
  if (!b->known)
    return rep.problem(path, "--daemon names no ELF program: architectures not checked");
  b->daemon = opt.daemon;
  cpu_of(path, b->id, &b->cpu);
  tell(rep, path, opt, b);
}
