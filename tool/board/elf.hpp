// SPDX-License-Identifier: MIT
// Within the board's part: the ELF readers behind its judgement, and the
// version text of a daemon binary.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "board.hpp"

// The attributes from the contents of such a section (big: a big-endian
// ELF); false when they are malformed.
bool arm_attributes_parse(const unsigned char* data, size_t len, bool big, arm_cpu* cpu);
// The attributes of the ELF file image; false when it has none.
bool elf_arm_cpu(const unsigned char* image, size_t len, arm_cpu* cpu);

// Adds what the board's CPU cpu makes of an ARM program built for prog (its
// attributes): nothing when it runs it.
void judge_cpu(std::vector<finding>& out, const unsigned char* image, size_t len,
               const arm_cpu& prog, const arm_cpu& cpu);

// What the code of a 32-bit ARM program needs that a CPU lacks, read
// instruction by instruction where its symbols mark ARM and Thumb code.
enum class fp_need { d32, neon };
struct code_scan {
  bool dispatch = false;  // a static C library picks routines at run time (IFUNC)
  bool read = false;      // its symbols mark its code: it was read
  fp_need need = fp_need::neon;
  std::string where;  // the function with the first such instruction; empty: none
};
// Leaves out the C library's variants of the functions it picks at run time.
code_scan arm_code_scan(const unsigned char* image, size_t len, const arm_cpu& cpu);

// Where the last loadable segment of an ELF program ends in its file; false
// when its program headers lie beyond len.
bool elf_loaded_end(const unsigned char* image, size_t len, const elf_id& id,
                    unsigned long long* end);
// Whether the section headers of an ELF program lie within len.
bool elf_sections_within(const unsigned char* image, size_t len, const elf_id& id);

// The release version that the daemon binary path carries ("minder version
// X"); empty when it carries none.
std::string daemon_version(const std::string& path);
