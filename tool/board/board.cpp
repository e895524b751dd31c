// SPDX-License-Identifier: MIT
// What the board makes of an ELF program: whether its kernel executes it
// (architecture, program interpreter, a whole file) and, on 32-bit ARM,
// whether its CPU has every instruction the program was built for.
#include <fnmatch.h>
#include <stdio.h>

#include <algorithm>

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

// Why the board's CPU lacks what the program was built for; empty when it has it.
std::string cpu_lacks(const arm_cpu& prog, const arm_cpu& cpu) {
  char text[512];
  fp_row need = fp_of(prog.fp), has = fp_of(cpu.fp);
  if (arch_rank(prog.arch) > arch_rank(cpu.arch))
    snprintf(text, sizeof text,
             "built for %s, the board is %s: it dies of an illegal instruction at start %s",
             cpu_name(prog).c_str(), cpu_name(cpu).c_str(), kRestarted);
  else if (need.version > has.version || need.regs > has.regs)
    snprintf(text, sizeof text,
             "built for %s floating point, the board has %s: it dies of an illegal "
             "instruction at its first floating-point instruction %s",
             fp_name(prog.fp).c_str(), fp_name(cpu.fp).c_str(), kRestarted);
  else if (simd_rank(prog.simd) > simd_rank(cpu.simd))
    snprintf(text, sizeof text,
             "built for %s, the board has %s: it dies of an illegal instruction at its first "
             "NEON instruction %s",
             simd_name(prog.simd).c_str(), simd_name(cpu.simd).c_str(), kRestarted);
  else
    return "";
  return text;
}

// The board's C library, and whether it brings the program interpreter
// interp: on 32-bit ARM with a known float ABI, the one loader of that ABI.
bool loader_on_board(const std::string& interp, const board& b, std::string* lib) {
  bool arm = b.id.machine == 40 && b.cpu.known && (b.cpu.vfp_args == 0 || b.cpu.vfp_args == 1);
  if (arm) {
    bool hard = b.cpu.vfp_args == 1;
    std::string loader = b.glibc ? (hard ? "/lib/ld-linux-armhf.so.3" : "/lib/ld-linux.so.3")
                                 : std::string("/lib/ld-musl-arm") + (b.id.data == 2 ? "eb" : "") +
                                       (hard ? "hf" : "") + ".so.1";
    *lib = std::string(b.glibc ? "glibc (--libc glibc)" : "musl") + " for " +
           (hard ? "hard" : "soft") + "-float ARM, whose loader is " + loader +
           (b.glibc ? "" : " (--libc glibc for glibc)");
    return interp == loader;
  }
  const char* musl[] = {"/lib/ld-musl-*.so.1"};
  const char* glibc[] = {"/lib*/ld-linux*.so.*", "/lib*/ld.so.1", "/lib*/ld64.so.*"};
  auto matches = [&](const char* pattern) {
    return fnmatch(pattern, interp.c_str(), FNM_PATHNAME) == 0;
  };
  *lib = b.glibc
             ? "glibc (--libc glibc), whose loaders are /lib*/ld-linux*.so.*, ld.so.1, ld64.so.*"
             : "musl, whose loader is /lib/ld-musl-*.so.1 (--libc glibc for glibc)";
  return b.glibc ? std::any_of(std::begin(glibc), std::end(glibc), matches)
                 : std::any_of(std::begin(musl), std::end(musl), matches);
}

// A file cut short, and the interpreter the program asks for.
void judge_file(std::vector<finding>& out, const unsigned char* image, size_t len, const elf_id& id,
                const board& b) {
  unsigned long long end = 0;
  std::string interp, lib;
  char text[512];
  interp_result found = elf_interp(image, len, id, &interp);
  if (!elf_loaded_end(image, len, id, &end) || found == kBeyond) {
    snprintf(text, sizeof text,
             "cut short: its program headers or interpreter lie beyond its %zu bytes: %s", len,
             kNoExec);
    return out.push_back({finding::refused, text});
  }
  if (end > len) {
    snprintf(text, sizeof text,
             "cut short: its segments reach byte %llu, the file ends at %zu: it is killed by a "
             "signal at start (SIGSEGV or SIGBUS) and restarted over and over; the fallback does "
             "not run",
             end, len);
    out.push_back({finding::dies, text});
  }
  if (found == kInterp && !loader_on_board(interp, b, &lib))
    out.push_back({finding::refused, "dynamically linked with the program interpreter \"" + interp +
                                         "\": the board's C library is " + lib + ": " + kNoExec});
}

}  // namespace

std::string cpu_name(const arm_cpu& cpu) {
  std::string more;
  if (cpu.fp) more += ", " + fp_name(cpu.fp);
  if (cpu.simd) more += ", " + simd_name(cpu.simd);
  if (cpu.vfp_args == 0 || cpu.vfp_args == 1)
    more += cpu.vfp_args ? ", hard-float" : ", soft-float";
  return arch_name(cpu) + (more.empty() ? "" : " (" + more.substr(2) + ")");
}

std::vector<finding> judge_elf(const unsigned char* image, size_t len, const elf_id& id,
                               const board& b) {
  std::vector<finding> out;
  if (!b.known)
    out.push_back({finding::unknown,
                   "an ELF program, and the board's architecture is unknown: give --arch NAME "
                   "(or --daemon NAME)"});
  else if (id != b.id)
    out.push_back({finding::refused, "built for " + elf_name(id) + ", the board is " +
                                         elf_name(b.id) + ": " + kNoExec});
  judge_file(out, image, len, id, b);
  bool refused = std::any_of(out.begin(), out.end(),
                             [](const finding& f) { return f.kind == finding::refused; });
  if (refused || !b.known || id.machine != 40 || !b.cpu.known) return out;
  arm_cpu prog;
  if (!elf_arm_cpu(image, len, &prog))
    out.push_back({finding::note, elf_sections_within(image, len, id)
                                      ? "no ARM build attributes: its CPU is not checked"
                                      : "cut short before its section headers, where its ARM "
                                        "build attributes are: its CPU is not checked"});
  else if (std::string lacks = cpu_lacks(prog, b.cpu); !lacks.empty())
    out.push_back({finding::dies, lacks});
  return out;
}
