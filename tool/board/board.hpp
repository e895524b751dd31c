// SPDX-License-Identifier: MIT
// The board: what the children must be built for (its architecture, CPU and
// C library, told by the daemon binary beside them or by --arch), and what it
// makes of a program: runs it, refuses to execute it, or starts it and kills
// it at once. check judges a whole program directory with it.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "tool.hpp"

// What happens on the device when a program cannot be executed.
inline constexpr char kNoExec[] = "execv fails and the child ends with 129";

// The identity of an ELF program: class (1: 32-bit, 2: 64-bit), byte order
// (1: little, 2: big endian) and machine. cls 0: not ELF.
struct elf_id {
  int cls = 0;
  int data = 0;
  int machine = 0;
};
bool operator==(const elf_id& a, const elf_id& b);
inline bool operator!=(const elf_id& a, const elf_id& b) {
  return !(a == b);
}

// Reads the identity from the first bytes of a file; false when not ELF.
bool elf_parse(const unsigned char* head, size_t len, elf_id* id);
std::string elf_name(const elf_id& id);

// The CPU an ARM program is built for: the file attributes of its build
// attributes section (.ARM.attributes, vendor "aeabi").
struct arm_cpu {
  bool known = false;  // the attributes were found
  int arch = 0;        // Tag_CPU_arch: 4 ARMv5TE, 10 ARMv7, 14 ARMv8-A, ...
  int profile = 0;     // Tag_CPU_arch_profile: 'A', 'R', 'M' or 0
  int fp = 0;          // Tag_FP_arch: 0 none, 2 VFPv2, 4 VFPv3-D16, ...
  int simd = 0;        // Tag_Advanced_SIMD_arch: 0 none, 1 NEON, ...
  int vfp_args = 0;    // Tag_ABI_VFP_args: 0 soft-float, 1 hard-float, 3 either
};

// "ARMv7-A (VFPv3-D16, hard-float)".
std::string cpu_name(const arm_cpu& cpu);

// The identity that --arch names (arm, armel, aarch64, x86-64, ...), and for
// 32-bit ARM the CPU baseline of that board build; false when unknown.
bool arch_by_name(const char* name, elf_id* id, arm_cpu* cpu = nullptr);
const char* arch_list();

// The program interpreter (PT_INTERP) of an ELF program: kNoInterp for a
// statically linked one, kBeyond when the head holds too little of it.
enum interp_result { kNoInterp, kInterp, kBeyond };
interp_result elf_interp(const unsigned char* head, size_t len, const elf_id& id,
                         std::string* interp);

// What the children must be built for.
struct board {
  elf_id id;
  bool known = false;  // id holds the architecture
  bool glibc = false;  // the C library, when not musl
  arm_cpu cpu;         // 32-bit ARM: the CPU baseline, when known
  std::string daemon;  // the daemon binary's file name (or --daemon's path), when found
};

// What the board makes of an ELF program, one finding per reason.
struct finding {
  enum kind_t {
    note,     // what could not be told
    unknown,  // the board's architecture is not known
    refused,  // execv fails: the child ends with 129 (in data mode: the fallback)
    dies,     // it starts and is killed at once: restarted for good, no fallback
  } kind;
  std::string text;
};
// Judges the whole file image of an ELF program (elf_parse gave id) against
// the board: architecture, CPU, program interpreter, a file cut short. No
// finding but notes: the board runs it, as far as its headers tell.
std::vector<finding> judge_elf(const unsigned char* image, size_t len, const elf_id& id,
                               const board& b);

// Judges a program by its contents: an ELF program for the board, or a
// script, whose interpreter line becomes a note.
void check_program_bytes(report& rep, const std::string& where, const unsigned char* data,
                         size_t len, const board& b);

// The identity of the regular file path when it is an ELF program.
bool elf_of(const std::string& path, elf_id* id);

// The board: --libc, and the architecture and CPU: --arch when given, else
// the daemon binary in dir: the file --daemon names (its path, when dir is
// empty), or every ELF program there that is neither one of children nor
// minder-tool (they must agree). b->known is false when the architecture
// cannot be told, b->cpu.known when the CPU cannot; a note says why.
void find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, board* b);

int cmd_check(const options& opt);
