// SPDX-License-Identifier: MIT
// The CPU an ARM program is built for. The toolchain records it in the
// program's build attributes: the section .ARM.attributes holds subsections
// by vendor, and the "aeabi" one holds, for the whole file, tags such as the
// architecture (Tag_CPU_arch), the floating-point unit (Tag_FP_arch) and how
// floating-point arguments are passed (Tag_ABI_VFP_args). libelf finds the
// section; the records are read here, every length checked against the end.
#include <gelf.h>
#include <libelf.h>
#include <string.h>

#include <memory>
#include <vector>

#include "elf.hpp"

namespace {

// A reader over the bytes [p, end); a read past the end clears ok.
struct cursor {
  const unsigned char* p;
  const unsigned char* end;
  bool big;
  bool ok = true;

  unsigned long long uleb() {
    unsigned long long v = 0;
    for (int shift = 0; ok; shift += 7) {
      if (p == end) ok = false;
      if (!ok) break;
      unsigned char c = *p++;
      if (shift < 64) v |= static_cast<unsigned long long>(c & 0x7f) << shift;
      if (!(c & 0x80)) break;
    }
    return v;
  }
  unsigned long u32() {
    if (end - p < 4) ok = false;
    if (!ok) return 0;
    unsigned long v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | p[big ? i : 3 - i];
    p += 4;
    return v;
  }
  // Skips a NUL-terminated string and returns its start.
  const char* text() {
    const unsigned char* start = p;
    p = static_cast<const unsigned char*>(memchr(p, 0, static_cast<size_t>(end - p)));
    if (!p) {
      ok = false;
      p = end;
      return "";
    }
    ++p;
    return reinterpret_cast<const char*>(start);
  }
  // A cursor over the next n bytes, counted from from; this one moves past them.
  cursor sub(const unsigned char* from, unsigned long n) {
    if (n < static_cast<unsigned long>(p - from) || n > static_cast<unsigned long>(end - from))
      ok = false;
    if (!ok) return {end, end, big, false};
    cursor inner{p, from + n, big};
    p = from + n;
    return inner;
  }
};

int small(unsigned long long v) {
  return v > 0xffff ? 0xffff : static_cast<int>(v);
}

// The attributes of a Tag_File record. A tag's value is a number, except
// for the names (4, 5) and, from 32 on, the odd tags; 32 takes both. False
// when a value runs past the record's end.
bool file_attributes(cursor c, arm_cpu* cpu) {
  while (c.ok && c.p < c.end) {
    unsigned long long tag = c.uleb();
    if (tag == 4 || tag == 5 || (tag > 32 && tag % 2 == 1)) {
      c.text();
      continue;
    }
    int v = small(c.uleb());
    if (tag == 32) c.text();
    if (tag == 6) cpu->arch = v;
    if (tag == 7) cpu->profile = v;
    if (tag == 10) cpu->fp = v;
    if (tag == 12) cpu->simd = v;
    if (tag == 28) cpu->vfp_args = v;
  }
  return c.ok;
}

// The records of the "aeabi" subsection: a tag (1 file, 2 sections,
// 3 symbols) and a length that counts from the tag.
bool aeabi_records(cursor c, arm_cpu* cpu) {
  bool file = false;
  while (c.ok && c.p < c.end) {
    const unsigned char* start = c.p;
    unsigned long long tag = c.uleb();
    unsigned long size = c.u32();
    cursor record = c.sub(start, size);
    if (c.ok && tag == 1) {
      if (!file_attributes(record, cpu)) return false;
      file = true;
    }
  }
  return c.ok && file;
}

}  // namespace

bool arm_attributes_parse(const unsigned char* data, size_t len, bool big, arm_cpu* cpu) {
  if (len < 1 || data[0] != 'A') return false;
  *cpu = arm_cpu();
  cursor c{data + 1, data + len, big};
  bool found = false;
  while (c.ok && c.p < c.end) {
    const unsigned char* start = c.p;
    unsigned long size = c.u32();
    cursor section = c.sub(start, size);
    if (c.ok && strcmp(section.text(), "aeabi") == 0 && section.ok)
      found = aeabi_records(section, cpu) || found;
  }
  cpu->known = found;
  return found;
}

namespace {

struct elf_ender {
  void operator()(Elf* e) const { elf_end(e); }
};

}  // namespace

bool elf_arm_cpu(const unsigned char* image, size_t len, arm_cpu* cpu) {
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  *cpu = arm_cpu();
  if (!ready || len < 6) return false;
  // libelf takes the image as writable memory: it gets a copy.
  std::vector<char> copy(image, image + len);
  std::unique_ptr<Elf, elf_ender> elf(elf_memory(copy.data(), copy.size()));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return false;
  bool big = image[5] == ELFDATA2MSB;
  for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf.get(), scn)) != nullptr;) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_ARM_ATTRIBUTES) continue;
    Elf_Data* d = elf_rawdata(scn, nullptr);
    if (!d || !d->d_buf) return false;
    return arm_attributes_parse(static_cast<const unsigned char*>(d->d_buf), d->d_size, big, cpu);
  }
  return false;
}
