// SPDX-License-Identifier: MIT
// What a 32-bit ARM board's CPU makes of a program: its build attributes say
// what it may use, merged over every object linked in; where a static C
// library carries variants for newer CPUs, its code says what it does use.
#include <stdio.h>

#include <iterator>

#include "elf.hpp"

namespace {

constexpr char kRestarted[] = "and is restarted every 10 s; the fallback does not run";

// Tag_CPU_arch: the name, and a rank where a higher one runs all of a lower
// one (the v6 variants and Jazelle count as their base; the M profiles as
// the A profile they mostly are).
struct arch_row {
  const char* name;
  int rank;
};
const arch_row kArchs[] = {
    {"ARMv4 or older", 0},
    {"ARMv4", 1},
    {"ARMv4T", 2},
    {"ARMv5T", 3},
    {"ARMv5TE", 4},
    {"ARMv5TEJ", 4},
    {"ARMv6", 6},
    {"ARMv6KZ", 7},
    {"ARMv6T2", 7},
    {"ARMv6K", 7},
    {"ARMv7", 8},
    {"ARMv6-M", 6},
    {"ARMv6S-M", 6},
    {"ARMv7E-M", 8},
    {"ARMv8-A", 9},
    {"ARMv8-R", 9},
    {"ARMv8-M baseline", 9},
    {"ARMv8-M mainline", 9},
    {"ARMv8.1-A", 10},
    {"ARMv8.2-A", 11},
    {"ARMv8.3-A", 12},
    {"ARMv8.1-M mainline", 10},
    {"ARMv9-A", 13},
};

// Tag_FP_arch: the name, the version and the number of double registers.
struct fp_row {
  const char* name;
  int version;
  int regs;
};
const fp_row kFps[] = {
    {"no FPU", 0, 0},     {"VFPv1", 1, 16},     {"VFPv2", 2, 16},
    {"VFPv3", 3, 32},     {"VFPv3-D16", 3, 16}, {"VFPv4", 4, 32},
    {"VFPv4-D16", 4, 16}, {"ARMv8 FP", 8, 32},  {"ARMv8 FP-D16", 8, 16},
};

// Tag_Advanced_SIMD_arch, in order.
const char* const kSimds[] = {"no NEON", "NEON", "NEON with FMA", "ARMv8 NEON", "ARMv8.1 NEON"};

// Values newer than the tables rank above all.
constexpr int kNewer = 1000;

std::string tag_text(const char* tag, int v) {
  return std::string(tag) + " " + std::to_string(v);
}

std::string arch_name(const arm_cpu& c) {
  if (c.arch < 0 || c.arch >= static_cast<int>(std::size(kArchs)))
    return tag_text("Tag_CPU_arch", c.arch);
  std::string name = kArchs[c.arch].name;
  if (c.arch == 10 && (c.profile == 'A' || c.profile == 'R' || c.profile == 'M'))
    name += std::string("-") + static_cast<char>(c.profile);
  return name;
}

int arch_rank(int arch) {
  return arch >= 0 && arch < static_cast<int>(std::size(kArchs)) ? kArchs[arch].rank : kNewer;
}

fp_row fp_of(int fp) {
  if (fp >= 0 && fp < static_cast<int>(std::size(kFps))) return kFps[fp];
  return {nullptr, kNewer, 32};
}

std::string fp_name(int fp) {
  const char* name = fp_of(fp).name;
  return name ? name : tag_text("Tag_FP_arch", fp);
}

std::string simd_name(int simd) {
  if (simd >= 0 && simd < static_cast<int>(std::size(kSimds))) return kSimds[simd];
  return tag_text("Tag_Advanced_SIMD_arch", simd);
}

int simd_rank(int simd) {
  return simd >= 0 && simd < static_cast<int>(std::size(kSimds)) ? simd : kNewer;
}

// What the program's attributes name beyond the board's FPU and NEON: "" when nothing.
std::string beyond_fp(const arm_cpu& prog, const arm_cpu& cpu) {
  fp_row need = fp_of(prog.fp), has = fp_of(cpu.fp);
  std::string text;
  if (need.version > has.version || need.regs > has.regs)
    text = fp_name(prog.fp) + " floating point (the board has " + fp_name(cpu.fp) + ")";
  if (simd_rank(prog.simd) > simd_rank(cpu.simd))
    text += (text.empty() ? "" : " and ") + simd_name(prog.simd) + " (the board has " +
            simd_name(cpu.simd) + ")";
  return text;
}

// By the attributes alone: the program's own objects asked for it.
std::string by_attributes(const arm_cpu& prog, const arm_cpu& cpu) {
  char text[512];
  fp_row need = fp_of(prog.fp), has = fp_of(cpu.fp);
  if (need.version > has.version || need.regs > has.regs)
    snprintf(text, sizeof text,
             "built for %s floating point, the board has %s: it dies of an illegal "
             "instruction at its first floating-point instruction %s",
             fp_name(prog.fp).c_str(), fp_name(cpu.fp).c_str(), kRestarted);
  else
    snprintf(text, sizeof text,
             "built for %s, the board has %s: it dies of an illegal instruction at its first "
             "NEON instruction %s",
             simd_name(prog.simd).c_str(), simd_name(cpu.simd).c_str(), kRestarted);
  return text;
}

const char* need_name(fp_need need) {
  return need == fp_need::neon ? "a NEON instruction" : "a floating-point instruction on d16-d31";
}

}  // namespace

void judge_cpu(std::vector<finding>& out, const unsigned char* image, size_t len,
               const arm_cpu& prog, const arm_cpu& cpu) {
  char text[768];
  if (arch_rank(prog.arch) > arch_rank(cpu.arch)) {
    snprintf(text, sizeof text,
             "built for %s, the board is %s: it may die of an illegal instruction wherever "
             "its code uses one the board lacks (minder-tool rehearse runs it on the board's "
             "CPU) %s",
             cpu_name(prog).c_str(), cpu_name(cpu).c_str(), kRestarted);
    return out.push_back({finding::dies, text});
  }
  // The code first: a function built for NEON alone leaves no trace in the
  // file's attributes.
  code_scan scan = arm_code_scan(image, len, cpu);
  std::string beyond = beyond_fp(prog, cpu);
  if (scan.where.empty() && beyond.empty()) return;
  if (scan.where.empty() && !scan.dispatch)
    return out.push_back({finding::dies, by_attributes(prog, cpu)});
  if (!scan.where.empty()) {
    snprintf(text, sizeof text,
             "its own code has %s (in %s), which the board's CPU (%s) lacks: it dies of an "
             "illegal instruction when it gets there %s",
             need_name(scan.need), scan.where.c_str(), cpu_name(cpu).c_str(), kRestarted);
    return out.push_back({finding::dies, text});
  }
  if (scan.read)
    snprintf(text, sizeof text,
             "its build attributes name %s: its static C library carries routines for such "
             "CPUs and picks one at run time; its own code uses none of it",
             beyond.c_str());
  else
    snprintf(text, sizeof text,
             "its build attributes name %s, which its static C library carries for CPUs that "
             "have it, picked at run time; stripped of its symbols, its own code cannot be told "
             "apart: it may die of an illegal instruction (minder-tool rehearse runs it on the "
             "board's CPU)",
             beyond.c_str());
  out.push_back({finding::note, text});
}

std::string cpu_name(const arm_cpu& cpu) {
  std::string more;
  if (cpu.fp) more += ", " + fp_name(cpu.fp);
  if (cpu.simd) more += ", " + simd_name(cpu.simd);
  if (cpu.vfp_args == 0 || cpu.vfp_args == 1)
    more += cpu.vfp_args ? ", hard-float" : ", soft-float";
  return arch_name(cpu) + (more.empty() ? "" : " (" + more.substr(2) + ")");
}
