// Telling what a program is built for: the ELF header's class, byte order and
// machine, and the program interpreter it asks for.
#include <string.h>

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
    {"armel", {1, 1, 40}},
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
  return "arm (armhf, armel), aarch64 (arm64), x86-64 (x86_64, amd64), i386 (x86), mips, mipsel, "
         "riscv64, riscv32, powerpc, ppc64le";
}

namespace {

// The unsigned number of size bytes at head[at], in the byte order of id.
unsigned long long number(const unsigned char* head, size_t at, size_t size, const elf_id& id) {
  unsigned long long v = 0;
  for (size_t i = 0; i < size; ++i) v = v << 8 | head[at + (id.data == 2 ? i : size - 1 - i)];
  return v;
}

}  // namespace

interp_result elf_interp(const unsigned char* head, size_t len, const elf_id& id,
                         std::string* interp) {
  bool wide = id.cls == 2;
  size_t ehsize = wide ? 64 : 52, phsize = wide ? 56 : 32;
  if (len < ehsize) return kBeyond;
  unsigned long long phoff = number(head, wide ? 32 : 28, wide ? 8 : 4, id);
  unsigned long long phentsize = number(head, wide ? 54 : 42, 2, id);
  unsigned long long phnum = number(head, wide ? 56 : 44, 2, id);
  if (phnum == 0) return kNoInterp;
  if (phentsize < phsize || phoff > len || phnum > (len - phoff) / phentsize) return kBeyond;
  for (unsigned long long k = 0; k < phnum; ++k) {
    size_t ph = static_cast<size_t>(phoff + k * phentsize);
    if (number(head, ph, 4, id) != 3) continue;  // PT_INTERP
    unsigned long long off = number(head, ph + (wide ? 8 : 4), wide ? 8 : 4, id);
    unsigned long long size = number(head, ph + (wide ? 32 : 16), wide ? 8 : 4, id);
    if (off > len || size > len - off) return kBeyond;
    const char* text = reinterpret_cast<const char*>(head + off);
    interp->assign(text, strnlen(text, static_cast<size_t>(size)));
    return kInterp;
  }
  return kNoInterp;
}
