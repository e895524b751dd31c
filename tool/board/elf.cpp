// SPDX-License-Identifier: MIT
// Telling what a program is built for: the ELF header's class, byte order and
// machine, and the program interpreter it asks for.
#include "elf.hpp"

#include <string.h>

namespace {

struct arch_row {
  const char* name;
  elf_id id;
  const arm_cpu* cpu;  // 32-bit ARM: the baseline of that board build
};

// The board builds for 32-bit ARM: ARMv5TE with soft-float, and ARMv7-A with
// VFPv3-D16 and hard-float.
const arm_cpu kArmel = {true, 4, 0, 0, 0, 0};
const arm_cpu kArmhf = {true, 10, 'A', 4, 0, 1};

// The names --arch accepts; the first name of a machine is the one shown.
const arch_row kArches[] = {
    {"arm", {1, 1, 40}, &kArmhf},      {"armhf", {1, 1, 40}, &kArmhf},
    {"armel", {1, 1, 40}, &kArmel},    {"aarch64", {2, 1, 183}, nullptr},
    {"arm64", {2, 1, 183}, nullptr},   {"x86-64", {2, 1, 62}, nullptr},
    {"x86_64", {2, 1, 62}, nullptr},   {"amd64", {2, 1, 62}, nullptr},
    {"i386", {1, 1, 3}, nullptr},      {"x86", {1, 1, 3}, nullptr},
    {"mips", {1, 2, 8}, nullptr},      {"mipsel", {1, 1, 8}, nullptr},
    {"riscv64", {2, 1, 243}, nullptr}, {"riscv32", {1, 1, 243}, nullptr},
    {"powerpc", {1, 2, 20}, nullptr},  {"ppc64le", {2, 1, 21}, nullptr},
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

bool arch_by_name(const char* name, elf_id* id, arm_cpu* cpu) {
  for (const arch_row& row : kArches)
    if (strcmp(row.name, name) == 0) {
      *id = row.id;
      if (cpu) *cpu = row.cpu ? *row.cpu : arm_cpu();
      return true;
    }
  return false;
}

const char* arch_list() {
  return "armhf (arm), armel, aarch64 (arm64), x86-64 (x86_64, amd64), i386 (x86), mips, "
         "mipsel, riscv64, riscv32, powerpc, ppc64le";
}

namespace {

// The unsigned number of size bytes at head[at], in the byte order of id.
unsigned long long number(const unsigned char* head, size_t at, size_t size, const elf_id& id) {
  unsigned long long v = 0;
  for (size_t i = 0; i < size; ++i) v = v << 8 | head[at + (id.data == 2 ? i : size - 1 - i)];
  return v;
}

}  // namespace

namespace {

// Calls f(type, offset, file size) for each program header; false when they
// lie beyond len.
template <typename F>
bool each_segment(const unsigned char* head, size_t len, const elf_id& id, F f) {
  bool wide = id.cls == 2;
  size_t ehsize = wide ? 64 : 52, phsize = wide ? 56 : 32;
  if (len < ehsize) return false;
  unsigned long long phoff = number(head, wide ? 32 : 28, wide ? 8 : 4, id);
  unsigned long long phentsize = number(head, wide ? 54 : 42, 2, id);
  unsigned long long phnum = number(head, wide ? 56 : 44, 2, id);
  if (phnum == 0) return true;
  if (phentsize < phsize || phoff > len || phnum > (len - phoff) / phentsize) return false;
  for (unsigned long long k = 0; k < phnum; ++k) {
    size_t ph = static_cast<size_t>(phoff + k * phentsize);
    f(number(head, ph, 4, id), number(head, ph + (wide ? 8 : 4), wide ? 8 : 4, id),
      number(head, ph + (wide ? 32 : 16), wide ? 8 : 4, id));
  }
  return true;
}

}  // namespace

interp_result elf_interp(const unsigned char* head, size_t len, const elf_id& id,
                         std::string* interp) {
  interp_result found = kNoInterp;
  auto take = [&](unsigned long long type, unsigned long long off, unsigned long long size) {
    if (type != 3 || found != kNoInterp) return;  // PT_INTERP, the first one
    if (off > len || size > len - off) {
      found = kBeyond;
      return;
    }
    const char* text = reinterpret_cast<const char*>(head + off);
    interp->assign(text, strnlen(text, static_cast<size_t>(size)));
    found = kInterp;
  };
  if (!each_segment(head, len, id, take)) return kBeyond;
  return found;
}

bool elf_loaded_end(const unsigned char* image, size_t len, const elf_id& id,
                    unsigned long long* end) {
  *end = 0;
  auto take = [&](unsigned long long type, unsigned long long off, unsigned long long size) {
    unsigned long long stop = size > ~0ULL - off ? ~0ULL : off + size;
    if (type == 1 && stop > *end) *end = stop;  // PT_LOAD
  };
  return each_segment(image, len, id, take);
}

bool elf_sections_within(const unsigned char* image, size_t len, const elf_id& id) {
  bool wide = id.cls == 2;
  if (len < (wide ? 64u : 52u)) return false;
  unsigned long long shoff = number(image, wide ? 40 : 32, wide ? 8 : 4, id);
  unsigned long long shentsize = number(image, wide ? 58 : 46, 2, id);
  unsigned long long shnum = number(image, wide ? 60 : 48, 2, id);
  return shoff <= len && shnum * shentsize <= len - shoff;
}
