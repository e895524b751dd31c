// Telling what a program is built for: the ELF header's class, byte order and
// machine, compared with the board's.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "tool.hpp"

namespace {

struct arch_row {
  const char* name;
  elf_id id;
};

// The names --arch accepts; the first name of a machine is the one shown.
const arch_row kArches[] = {
    {"arm", {1, 1, 40}},      {"armhf", {1, 1, 40}},   {"aarch64", {2, 1, 183}},
    {"arm64", {2, 1, 183}},   {"x86-64", {2, 1, 62}},  {"x86_64", {2, 1, 62}},
    {"amd64", {2, 1, 62}},    {"i386", {1, 1, 3}},     {"x86", {1, 1, 3}},
    {"mips", {1, 2, 8}},      {"mipsel", {1, 1, 8}},   {"riscv64", {2, 1, 243}},
    {"riscv32", {1, 1, 243}}, {"powerpc", {1, 2, 20}}, {"ppc64le", {2, 1, 21}},
};

const char* machine_name(int machine) {
  switch (machine) {
    case 3:
      return "i386";
    case 8:
      return "MIPS";
    case 20:
      return "PowerPC";
    case 21:
      return "PowerPC64";
    case 40:
      return "ARM";
    case 62:
      return "x86-64";
    case 183:
      return "AArch64";
    case 243:
      return "RISC-V";
    default:
      return nullptr;
  }
}

}  // namespace

bool operator==(const elf_id& a, const elf_id& b) {
  return a.cls == b.cls && a.data == b.data && a.machine == b.machine;
}

bool elf_parse(const unsigned char* head, size_t len, elf_id* id) {
  if (len < 20 || memcmp(head, "\177ELF", 4) != 0) return false;
  id->cls = head[4];
  id->data = head[5];
  id->machine = id->data == 2 ? head[18] << 8 | head[19] : head[19] << 8 | head[18];
  return true;
}

std::string elf_name(const elf_id& id) {
  const char* machine = machine_name(id.machine);
  std::string text = id.cls == 1 ? "32-bit " : id.cls == 2 ? "64-bit " : "odd-class ";
  text += machine ? machine : "machine " + std::to_string(id.machine);
  if (id.data == 2 && id.machine != 20) text += " big-endian";
  if (id.data == 1 && (id.machine == 8 || id.machine == 20)) text += " little-endian";
  return text;
}

bool arch_by_name(const char* name, elf_id* id) {
  for (const arch_row& row : kArches)
    if (strcmp(row.name, name) == 0) {
      *id = row.id;
      return true;
    }
  return false;
}

const char* arch_list() {
  return "arm (armhf), aarch64 (arm64), x86-64 (x86_64, amd64), i386 (x86), mips, mipsel, "
         "riscv64, riscv32, powerpc, ppc64le";
}

void check_program_head(report& rep, const std::string& where, const unsigned char* head,
                        size_t len, const elf_id* board) {
  elf_id id;
  if (elf_parse(head, len, &id)) {
    if (board && id != *board)
      rep.problem(where, "built for %s, the board is %s: execv fails and the child ends with 129",
                  elf_name(id).c_str(), elf_name(*board).c_str());
    return;
  }
  if (len >= 2 && head[0] == '#' && head[1] == '!') {
    size_t end = 2;
    while (end < len && head[end] != '\n') ++end;
    std::string line(reinterpret_cast<const char*>(head), end);
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c < ' ' || c == 127; }, '?');
    rep.note(where, "script, interpreter line \"%s\"%s", line.c_str(),
             end == len && len == kHeadSize ? " (cut)" : "");
    return;
  }
  rep.problem(where, "%s: execv fails and the child ends with 129",
              len == 0 ? "empty file" : "neither an ELF program nor a script starting with #!");
}

bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len) {
  unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  *len = 0;
  while (*len < size) {
    ssize_t n = read(fd.get(), buf + *len, size - *len);
    if (n < 0) return false;
    if (n == 0) break;
    *len += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// The identity of the regular file path when it is an ELF program.
bool elf_of(const std::string& path, elf_id* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  unsigned char head[kHeadSize];
  size_t len = 0;
  return read_head(path, head, sizeof head, &len) && elf_parse(head, len, id);
}

}  // namespace

bool find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, elf_id* board) {
  if (opt.arch) return arch_by_name(opt.arch, board);
  if (opt.daemon) {
    std::string path = dir + "/" + opt.daemon;
    if (elf_of(path, board)) {
      rep.note(path, "the daemon: the board is %s", elf_name(*board).c_str());
      return true;
    }
    rep.problem(path, "--daemon names no ELF program: architectures not checked");
    return false;
  }
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  std::vector<std::string> found;
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string name = e->d_name;
    elf_id id;
    if (std::find(children.begin(), children.end(), name) != children.end()) continue;
    if (!elf_of(dir + "/" + name, &id)) continue;
    if (!found.empty() && id != *board) {
      rep.note(dir,
               "ELF programs for %s (%s) and %s (%s) beside the children: name the daemon "
               "with --daemon or give --arch; architectures not checked",
               elf_name(*board).c_str(), found[0].c_str(), elf_name(id).c_str(), name.c_str());
      return false;
    }
    *board = id;
    found.push_back(name);
  }
  if (found.empty()) {
    rep.note(dir,
             "no daemon binary (an ELF program that is no child) here: architectures not "
             "checked; give --arch or --daemon");
    return false;
  }
  std::sort(found.begin(), found.end());
  rep.note(dir + "/" + found[0], "the daemon: the board is %s", elf_name(*board).c_str());
  return true;
}
