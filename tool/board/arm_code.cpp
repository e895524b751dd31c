// SPDX-License-Identifier: MIT
// What the code of a 32-bit ARM program asks of the floating-point unit and
// NEON. A static C library carries routines for several CPUs (memcpy for
// NEON, for VFP, for neither) and picks one at run time by the CPU's
// features (an IFUNC); its build attributes, merged over the whole file, then
// name the newest. The code itself tells: the mapping symbols ($a, $t, $d)
// mark ARM code, Thumb code and data, and each instruction is decoded there,
// skipping the library's variants (__NAME_* of an IFUNC NAME).
#include <gelf.h>
#include <libelf.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "elf.hpp"

namespace {

struct elf_ender {
  void operator()(Elf* e) const { elf_end(e); }
};

struct mark {
  GElf_Addr at;
  char kind;  // 'a' ARM, 't' Thumb, 'd' data
};

struct function {
  GElf_Addr at, size;
  std::string name;
};

struct symbols {
  std::vector<std::vector<mark>> marks;  // by section index
  std::vector<function> functions;
  std::vector<std::string> ifuncs;
};

// Which of d16-d31 or NEON a VFP or NEON instruction in ARM encoding uses;
// Thumb-2 ones are passed in the same layout. 0: none, 1: an FP instruction
// of d0-d15 or s registers, 2: d16-d31, 3: NEON.
int arm_needs(unsigned long w) {
  if ((w & 0xFE000000) == 0xF2000000 || (w & 0xFF100000) == 0xF4000000) return 3;
  if ((w & 0xF0000000) == 0xF0000000) return 0;
  unsigned cp = (w >> 8) & 0xF;
  if (cp != 10 && cp != 11) return 0;
  bool dbl = cp == 11, d = w & 1 << 22, n = w & 1 << 7, m = w & 1 << 5;
  if ((w & 0x0E000000) == 0x0C000000) {  // loads, stores, 64-bit transfers
    if ((w & 0x0FE00000) == 0x0C400000) return dbl && m ? 2 : 1;
    if (!dbl) return 1;
    unsigned first = (d ? 16 : 0) + ((w >> 12) & 0xF);
    bool one = (w & 0x01200000) == 0x01000000;  // VLDR, VSTR
    unsigned count = one ? 1 : (w & 0xFF) / 2;
    return first + count > 16 ? 2 : 1;
  }
  if ((w & 0x0F000000) != 0x0E000000) return 0;
  if (w & 1 << 4) {                                  // transfers with core registers
    if ((w & 0x0F900F5F) == 0x0E800B10) return 3;    // VDUP
    return dbl && (w & 0x00100000 ? n : d) ? 2 : 1;  // VMOV with a scalar
  }
  if (!dbl) return 1;
  unsigned op = (w >> 16) & 0xF;
  bool other = (w & 0x00B00000) == 0x00B00000;
  if (other && (op == 7 || op == 12 || op == 13)) d = false;  // to a single register
  if (other && op == 8) m = false;                            // from an integer
  if (other) n = false;
  return d || n || m ? 2 : 1;
}

symbols read_symbols(Elf* elf, size_t sections) {
  symbols out;
  out.marks.resize(sections);
  for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf, scn)) != nullptr;) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB || !sh.sh_entsize) continue;
    Elf_Data* d = elf_getdata(scn, nullptr);
    size_t count = d ? d->d_size / sh.sh_entsize : 0;
    for (size_t i = 0; i < count; ++i) {
      GElf_Sym s;
      if (!gelf_getsym(d, static_cast<int>(i), &s)) break;
      const char* name = elf_strptr(elf, sh.sh_link, s.st_name);
      if (!name) continue;
      int type = GELF_ST_TYPE(s.st_info);
      if (name[0] == '$' && strchr("atd", name[1]) && (!name[2] || name[2] == '.')) {
        if (s.st_shndx < sections) out.marks[s.st_shndx].push_back({s.st_value, name[1]});
      } else if (type == STT_FUNC) {
        out.functions.push_back({s.st_value & ~1ull, s.st_size, name});
      } else if (type == STT_GNU_IFUNC) {
        out.ifuncs.push_back(name);
      }
    }
  }
  for (auto& m : out.marks)
    std::sort(m.begin(), m.end(), [](const mark& a, const mark& b) { return a.at < b.at; });
  return out;
}

// The function holding addr, "" when none; variant: one of the library's
// run-time variants, or the unwinder's save and restore of registers, which
// it only runs for a frame that saved them.
std::string function_at(const symbols& syms, GElf_Addr addr, bool* variant) {
  *variant = false;
  for (const function& f : syms.functions) {
    if (addr < f.at || addr >= f.at + std::max<GElf_Addr>(f.size, 1)) continue;
    *variant = f.name.compare(0, 13, "__gnu_Unwind_") == 0;
    for (const std::string& i : syms.ifuncs)
      if (f.name.compare(0, i.size() + 3, "__" + i + "_") == 0) *variant = true;
    return f.name;
  }
  return "";
}

// Whether the board's CPU lacks what an instruction needs: NEON, or d16-d31
// where its FPU has 16 double registers. Other floating-point instructions
// are left to the attributes: the C library runs some (setjmp saving the
// FPU's registers) only on a CPU whose features say it has an FPU.
bool lacks(int need, const arm_cpu& cpu, fp_need* what) {
  if (need == 3 && cpu.simd == 0) return *what = fp_need::neon, true;
  if (need >= 2 && cpu.fp != 0 && cpu.fp != 3 && cpu.fp != 5 && cpu.fp != 7)
    return *what = fp_need::d32, true;
  return false;
}

// Decodes the code of one section from start to end, in ARM or Thumb.
void scan_range(const unsigned char* p, GElf_Addr base, GElf_Addr start, GElf_Addr end, bool thumb,
                const symbols& syms, const arm_cpu& cpu, code_scan* out) {
  auto half = [&](GElf_Addr a) {
    return static_cast<unsigned long>(p[a - base] | p[a - base + 1] << 8);
  };
  for (GElf_Addr a = start; a + (thumb ? 2 : 4) <= end && out->where.empty();) {
    unsigned long w;
    if (thumb) {
      unsigned long h = half(a);
      if (h < 0xE800 || a + 4 > end) {
        a += 2;
        continue;
      }
      w = h << 16 | half(a + 2);
      if ((w & 0xEF000000) == 0xEF000000)
        w = (w & 0x00FFFFFF) | 0xF2000000 | (w & 0x10000000) >> 4;
      else if ((w & 0xFF100000) == 0xF9000000)
        w = (w & 0x00FFFFFF) | 0xF4000000;
      else if ((w & 0xEC000000) == 0xEC000000 && !(w & 0x10000000))
        w = (w & 0x0FFFFFFF) | 0xE0000000;
      else
        w = 0;
    } else {
      w = half(a) | half(a + 2) << 16;
    }
    fp_need what;
    bool variant = false;
    std::string name;
    if (lacks(arm_needs(w), cpu, &what) && ((name = function_at(syms, a, &variant)), !variant)) {
      out->need = what;
      out->where = name.empty() ? "an unnamed function" : name;
    }
    a += 4;
  }
}

}  // namespace

code_scan arm_code_scan(const unsigned char* image, size_t len, const arm_cpu& cpu) {
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  code_scan out;
  if (!ready || len < 6 || image[5] != ELFDATA2LSB) return out;
  std::vector<char> copy(image, image + len);
  std::unique_ptr<Elf, elf_ender> elf(elf_memory(copy.data(), copy.size()));
  size_t sections = 0, names = 0;
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF || elf_getshdrnum(elf.get(), &sections) != 0 ||
      elf_getshdrstrndx(elf.get(), &names) != 0)
    return out;
  symbols syms = read_symbols(elf.get(), sections);
  out.dispatch = !syms.ifuncs.empty();
  bool marked = false;
  for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf.get(), scn)) != nullptr;) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh)) continue;
    const char* name = elf_strptr(elf.get(), names, sh.sh_name);
    if (name && strcmp(name, ".iplt") == 0) out.dispatch = true;
    const std::vector<mark>& marks = syms.marks[elf_ndxscn(scn)];
    if (!(sh.sh_flags & SHF_EXECINSTR) || sh.sh_type != SHT_PROGBITS || marks.empty()) continue;
    Elf_Data* d = elf_rawdata(scn, nullptr);
    if (!d || !d->d_buf || d->d_size != sh.sh_size) continue;
    marked = true;
    const auto* p = static_cast<const unsigned char*>(d->d_buf);
    for (size_t i = 0; i < marks.size() && out.where.empty(); ++i) {
      GElf_Addr end = i + 1 < marks.size() ? marks[i + 1].at : sh.sh_addr + sh.sh_size;
      GElf_Addr start = std::max(marks[i].at, sh.sh_addr);
      end = std::min(end, sh.sh_addr + sh.sh_size);
      if (marks[i].kind != 'd' && start < end)
        scan_range(p, sh.sh_addr, start, end, marks[i].kind == 't', syms, cpu, &out);
    }
  }
  out.read = marked;
  return out;
}
