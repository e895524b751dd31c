// SPDX-License-Identifier: MIT
// The CPU of 32-bit ARM programs: their build attributes read from
// hand-made sections, and judged against the board's CPU.
#include <gtest/gtest.h>
#include <stdint.h>

#include "elf.hpp"

namespace {

std::string uleb(unsigned long long v) {
  std::string out;
  do {
    out += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
    v >>= 7;
  } while (v);
  return out;
}

std::string u32(size_t v, bool big = false) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[big ? 3 - i : i] = static_cast<char>(v >> 8 * i);
  return out;
}

std::string attr(unsigned tag, unsigned long long v) {
  return uleb(tag) + uleb(v);
}

// A record (1: the whole file) whose size counts from its tag.
std::string record(unsigned tag, const std::string& body, bool big = false) {
  return uleb(tag) + u32(5 + body.size(), big) + body;
}

// A vendor subsection, whose size counts from its own size field.
std::string vendor(const std::string& name, const std::string& body, bool big = false) {
  return u32(5 + name.size() + body.size(), big) + name + '\0' + body;
}

// What a hard-float ARMv7-A build with VFPv3-D16 records.
const std::string kArmhf = attr(6, 10) + attr(7, 'A') + attr(10, 4) + attr(28, 1);

// "-" when the section is malformed, else the CPU it names.
std::string parsed(const std::string& section, bool big = false) {
  arm_cpu cpu;
  bool ok = arm_attributes_parse(reinterpret_cast<const unsigned char*>(section.data()),
                                 section.size(), big, &cpu);
  return ok != cpu.known ? "?" : ok ? cpu_name(cpu) : "-";
}

}  // namespace

TEST(Board, ReadsHandMadeAttributeSections) {
  const std::string aeabi = "A" + vendor("aeabi", record(1, kArmhf));
  struct {
    std::string section, want;
    bool big = false;
  } rows[] = {
      {aeabi, "ARMv7-A (VFPv3-D16, hard-float)"},
      // The names (4, 5), Tag_compatibility (32: a number and a name), odd tags
      // past 32 (names) and even ones (numbers) are passed over.
      {"A" + vendor("aeabi", record(1, uleb(5) + "7-A" + '\0' + uleb(4) + "cortex-a8" + '\0' +
                                           uleb(67) + "2.09" + '\0' + attr(34, 1) + attr(66, 300) +
                                           attr(32, 0) + '\0' + kArmhf)),
       "ARMv7-A (VFPv3-D16, hard-float)"},
      // Another vendor's subsection and the section and symbol records are
      // skipped by their sizes.
      {"A" + vendor("gnu", "\x01\x02\x03") +
           vendor("aeabi", record(2, uleb(1) + '\0' + attr(6, 14)) + record(1, kArmhf) +
                               record(3, attr(10, 7))),
       "ARMv7-A (VFPv3-D16, hard-float)"},
      {"A" + vendor("aeabi", record(1, kArmhf, true), true), "ARMv7-A (VFPv3-D16, hard-float)",
       true},
      {"A" + vendor("aeabi", record(1, kArmhf, true), true), "-"},
      // Numbers of several bytes, padded, or too large for the tables.
      {"A" + vendor("aeabi",
                    record(1, std::string("\x06\x84\x80\x80\x00", 5) + attr(10, 2) + attr(28, 0))),
       "ARMv5TE (VFPv2, soft-float)"},
      {"A" + vendor("aeabi",
                    record(1, attr(6, 1ull << 40) + attr(10, 300) + attr(12, 1) + attr(28, 3))),
       "Tag_CPU_arch 65535 (Tag_FP_arch 300, NEON)"},
      {"A" + vendor("aeabi", record(1, attr(6, 8) + uleb(12) + std::string(12, '\xff') + "\x01")),
       "ARMv6T2 (Tag_Advanced_SIMD_arch 65535, soft-float)"},
      {"A" + vendor("aeabi", record(1, attr(6, 10) + attr(28, 0))), "ARMv7 (soft-float)"},
      // Malformed: no file record, no "aeabi", not an attributes section.
      {"A" + vendor("aeabi", record(2, kArmhf)), "-"},
      {"A" + vendor("gnu", record(1, kArmhf)), "-"},
      {"B" + vendor("aeabi", record(1, kArmhf)), "-"},
      {"", "-"},
      // Sizes that point back or beyond, an unended name, a value cut off.
      {"A" + u32(0) + "aeabi", "-"},
      {"A" + u32(3) + "aeabi", "-"},
      {"A" + u32(9) + "aeabi", "-"},
      {"A" + vendor("aeabi", uleb(1) + u32(0) + kArmhf), "-"},
      {"A" + vendor("aeabi", uleb(1) + u32(200) + kArmhf), "-"},
      {"A" + vendor("aeabi", record(1, kArmhf + uleb(10))), "-"},
      {"A" + vendor("aeabi", record(1, uleb(5) + "7-A")), "-"},
  };
  for (const auto& row : rows) EXPECT_EQ(parsed(row.section, row.big), row.want) << row.want;
  // A section cut anywhere is malformed.
  for (size_t n = 0; n < aeabi.size(); ++n) EXPECT_EQ(parsed(aeabi.substr(0, n)), "-") << n;
}

namespace {

// A static 32-bit ARM program: its headers, the one loaded segment, then the
// attributes section (none when empty) and the section headers.
std::string arm_static(const std::string& attributes) {
  std::string e(84, '\0');
  auto put = [&](size_t at, size_t v) { e.replace(at, 4, u32(v)); };
  size_t shoff = (84 + attributes.size() + 3) / 4 * 4, shnum = attributes.empty() ? 0 : 2;
  e.replace(0, 7, "\177ELF\1\1\1");
  put(16, 2 | 40 << 16);  // an executable for ARM
  put(28, 52);            // one program header at 52,
  put(32, shnum ? shoff : 0);
  put(40, 52 | 32 << 16);
  put(44, 1 | 40 << 16);  // section headers of 40 bytes
  put(48, shnum);
  put(52, 1);  // PT_LOAD of the first 84 bytes
  put(68, 84);
  if (!shnum) return e;
  return e + attributes + std::string(shoff - 84 - attributes.size() + 44, '\0') + u32(0x70000003) +
         std::string(8, '\0') + u32(84) + u32(attributes.size()) +
         std::string(16, '\0');  // SHT_ARM_ATTRIBUTES at 84
}

std::string program_for(unsigned arch, unsigned fp, unsigned simd = 0, unsigned vfp_args = 0) {
  return arm_static("A" + vendor("aeabi", record(1, attr(6, arch) + attr(7, 'A') + attr(10, fp) +
                                                        attr(12, simd) + attr(28, vfp_args))));
}

}  // namespace

// A program built for more than the board's CPU dies at its first
// instruction the board lacks: by architecture, FP version and registers, NEON.
TEST(Board, JudgesTheCpuAProgramNeeds) {
  board armel, armhf;
  ASSERT_TRUE(arch_by_name("armel", &armel.id, &armel.cpu));
  ASSERT_TRUE(arch_by_name("armhf", &armhf.id, &armhf.cpu));
  armel.known = armhf.known = true;
  board vfp4 = armhf, neon = armhf, v6 = armel;
  vfp4.cpu.fp = 5;  // VFPv4 with 32 registers
  neon.cpu.simd = 2;
  v6.cpu.arch = 6;
  struct {
    std::string program;
    const board& b;
    std::string want;  // "": it runs
  } rows[] = {
      {program_for(4, 0), armhf, ""},
      {program_for(5, 0), armel, ""},  // v5TEJ runs all of v5TE
      {program_for(6, 0), armel, "built for ARMv6 (soft-float), the board is ARMv5TE (soft-float)"},
      {program_for(9, 0), v6, "built for ARMv6K (soft-float), the board is ARMv6 (soft-float)"},
      {program_for(10, 4, 0, 1), armel, "built for ARMv7-A (VFPv3-D16, hard-float), the board"},
      {program_for(13, 0), armhf, ""},  // v7E-M counts as v7
      {program_for(14, 0), armhf, "built for ARMv8-A (soft-float), the board is ARMv7-A"},
      {program_for(23, 0), armhf, "built for Tag_CPU_arch 23 (soft-float)"},
      {program_for(4, 2, 0, 1), armel, "built for VFPv2 floating point, the board has no FPU"},
      {program_for(10, 3), armhf, "built for VFPv3 floating point, the board has VFPv3-D16"},
      {program_for(10, 6), armhf, "built for VFPv4-D16 floating point, the board has VFPv3-D16"},
      {program_for(10, 7), vfp4, "built for ARMv8 FP floating point, the board has VFPv4"},
      {program_for(10, 9), vfp4, "built for Tag_FP_arch 9 floating point"},
      {program_for(10, 4), vfp4, ""},
      {program_for(10, 3, 0, 1), vfp4, ""},
      {program_for(10, 4, 1), armhf,
       "built for NEON, the board has no NEON: it dies of an "
       "illegal instruction at its first NEON instruction"},
      {program_for(10, 4, 1), neon, ""},
      {program_for(10, 4, 5), neon,
       "built for Tag_Advanced_SIMD_arch 5, the board has NEON with FMA"},
      // Soft-float arguments run on a hard-float board: only the loader tells them apart.
      {program_for(10, 4, 0, 0), armhf, ""},
  };
  for (const auto& row : rows) {
    const auto* image = reinterpret_cast<const unsigned char*>(row.program.data());
    elf_id id;
    ASSERT_TRUE(elf_parse(image, row.program.size(), &id));
    std::vector<finding> found = judge_elf(image, row.program.size(), id, row.b);
    std::string got;
    for (const finding& f : found) got += (f.kind == finding::dies ? "" : "?") + f.text;
    if (row.want.empty())
      EXPECT_EQ(got, "") << row.program.size();
    else
      EXPECT_EQ(got.substr(0, row.want.size()), row.want) << got;
  }

  // Without the attributes, or cut short before them, the CPU is not judged.
  auto note = [&](const std::string& program) {
    const auto* image = reinterpret_cast<const unsigned char*>(program.data());
    std::vector<finding> found = judge_elf(image, program.size(), armhf.id, armel);
    return found.size() == 1 && found[0].kind == finding::note ? found[0].text : "";
  };
  EXPECT_EQ(note(arm_static("")), "no ARM build attributes: its CPU is not checked");
  std::string cut = program_for(10, 4, 0, 1);
  EXPECT_EQ(note(cut.substr(0, cut.size() - 1)),
            "cut short before its section headers, where its ARM build attributes are: its CPU "
            "is not checked");
}
