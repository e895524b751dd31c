// SPDX-License-Identifier: MIT
// Fuzzes minder-tool's judgement of a program: every input is taken as a
// whole file and judged against three boards, and as the contents of an ARM
// build attributes section. Nothing may crash, read out of bounds or leak,
// and every finding must say something.
#include <stdio.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>

#include "elf.hpp"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "elf_fuzz: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  arm_cpu cpu;
  if (arm_attributes_parse(data, size, size % 2, &cpu)) check(cpu.known, "parsed yet unknown");
  check(!cpu_name(cpu).empty(), "a CPU without a name");
  elf_id id;
  if (!elf_parse(data, size, &id)) return 0;
  for (const char* arch : {"armel", "armhf", "aarch64"}) {
    board b;
    b.known = arch_by_name(arch, &b.id, &b.cpu);
    b.glibc = size % 3 == 0;
    for (const finding& f : judge_elf(data, size, id, b)) check(!f.text.empty(), "empty finding");
  }
  board unknown;
  judge_elf(data, size, id, unknown);
  return 0;
}
