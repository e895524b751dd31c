// SPDX-License-Identifier: MIT
// The CPU verdict against the ground truth: real programs cross-built with
// Debian's ARM compilers (glibc static and dynamic, musl), run under qemu-arm
// with the CPU of each board, and judged by judge_elf against that board.
#include <gtest/gtest.h>

#include "board.hpp"
#include "harness.hpp"

namespace {

// What the tool says: "ok" (nothing), "may" (it may die: a problem, or a note
// where it cannot tell), "dies", "refused" (execv fails); "-": not judged.
std::string verdict(const std::vector<finding>& found) {
  std::string v = "ok";
  for (const finding& f : found) {
    bool may = f.text.find("may die") != std::string::npos;
    if (f.kind == finding::refused) return "refused";
    if (f.kind == finding::dies) v = may ? "may" : "dies";
    if (f.kind == finding::note && may && v == "ok") v = "may";
    if (f.kind == finding::unknown) return "unknown";
  }
  return v;
}

// The boards of the columns: the CPU qemu emulates, and what the tool knows
// of it. ARMv5TE soft-float; ARMv7-A with VFPv3 and no NEON (qemu's
// cortex-a8 without NEON keeps its 32 double registers); ARMv7 with
// VFPv3-D16 and no NEON (make board; cortex-r5f has just 16); ARMv7-A with
// VFPv3 and NEON.
struct column {
  const char* cpu;
  board b;
};

std::vector<column> columns(bool glibc) {
  board armel, armhf;
  arch_by_name("armel", &armel.id, &armel.cpu);
  arch_by_name("armhf", &armhf.id, &armhf.cpu);
  armel.known = armhf.known = true;
  armel.glibc = armhf.glibc = glibc;
  board d32 = armhf, neon = armhf;
  d32.cpu.fp = neon.cpu.fp = 3;  // VFPv3
  neon.cpu.simd = 1;
  return {
      {"arm926", armel}, {"cortex-a8,neon=off", d32}, {"cortex-r5f", armhf}, {"cortex-a8", neon}};
}

bool found(const std::string& program) {
  return run_command("sh -c \"command -v " + program + "\"").status == 0;
}

}  // namespace

TEST(CpuTable, VerdictsMatchTheBoardsCpuUnderQemu) {
  std::string qemu = MINDER_QEMU_ARM;
  if (qemu.empty()) GTEST_SKIP() << "no qemu-arm-static (scripts/fetch-deb qemu-user-static)";
  const std::string hf = "arm-linux-gnueabihf-gcc", el = "arm-linux-gnueabi-gcc",
                    musl = "arm-linux-musleabihf-gcc";
  const std::string d16 = " -mfpu=vfpv3-d16", v8 = " -march=armv8-a";
  struct row {
    std::string cc, flags;
    std::string want[4];  // arm926, cortex-a8 without NEON, cortex-r5f, cortex-a8
  } rows[] = {
      // glibc armhf, static: the attributes name VFPv3 and NEON for memcpy's
      // and memchr's variants whatever the program's own code needs.
      {hf, " -static", {"may", "ok", "ok", "ok"}},
      {hf, " -static" + d16, {"may", "ok", "ok", "ok"}},
      {hf, " -static -marm" + d16, {"may", "ok", "ok", "ok"}},
      {hf, " -static -mfpu=neon", {"may", "dies", "dies", "ok"}},
      {hf, " -static -marm -mfpu=neon", {"may", "dies", "dies", "ok"}},
      {hf, " -static -mfpu=vfpv3", {"may", "ok", "dies", "ok"}},
      {hf, " -static -DNEON_FUNCTION", {"may", "dies", "dies", "ok"}},
      // Stripped, its own code cannot be told from the library's.
      {hf, " -static -s" + d16, {"may", "may", "may", "ok"}},
      {hf, " -static" + v8 + d16, {"may", "may", "may", "may"}},
      // glibc armhf, dynamic: the armel board has no hard-float loader.
      {hf, "", {"refused", "ok", "ok", "ok"}},
      {hf, " -mfpu=neon", {"refused", "dies", "dies", "ok"}},
      // glibc armel, static; dynamic only on its own board.
      {el, " -static", {"ok", "ok", "ok", "ok"}},
      {el, " -static -mthumb", {"ok", "ok", "ok", "ok"}},
      {el, " -static -march=armv6", {"may", "ok", "ok", "ok"}},
      {el, " -static -march=armv7-a", {"may", "ok", "ok", "ok"}},
      {el, " -static -march=armv7-a -mthumb", {"may", "ok", "ok", "ok"}},
      {el, " -static" + v8, {"may", "may", "may", "may"}},
      {el, "", {"ok", "-", "-", "-"}},
      // The project's musl, armhf, static.
      {musl, " -static", {"may", "ok", "ok", "ok"}},
      {musl, " -static -mfpu=neon", {"may", "dies", "dies", "ok"}},
      // The attributes say VFPv3-D16; one function has NEON.
      {musl, " -static -DNEON_FUNCTION", {"may", "dies", "dies", "ok"}},
      {musl, " -static" + v8 + d16, {"may", "may", "may", "may"}},
  };
  Sandbox box;
  std::string source = std::string(MINDER_SOURCE_DIR) + "/tests/tool/cpu_child.c";
  int n = 0;
  for (const row& r : rows) {
    std::string name = r.cc + r.flags, program = box.root + "/p" + std::to_string(n++);
    if (!found(r.cc)) {
      ADD_FAILURE() << r.cc << " missing (scripts/install-deps installs it)";
      continue;
    }
    command_result built = run_command(r.cc + " -O2" + r.flags + " -o " + program + " " + source);
    ASSERT_EQ(built.status, 0) << name << "\n" << built.out;
    std::vector<unsigned char> image;
    std::string why;
    ASSERT_TRUE(read_whole(program, &image, &why)) << why;
    elf_id id;
    ASSERT_TRUE(elf_parse(image.data(), image.size(), &id));
    bool dynamic = r.flags.find("-static") == std::string::npos;
    std::string sysroot = r.cc == hf ? "/usr/arm-linux-gnueabihf" : "/usr/arm-linux-gnueabi";
    std::vector<column> cols = columns(r.cc != musl);
    for (size_t c = 0; c < cols.size(); ++c) {
      if (r.want[c] == "-") continue;
      command_result run =
          run_command(qemu + " -cpu " + cols[c].cpu + (dynamic ? " -L " + sysroot : "") + " " +
                      program + " </dev/null");
      bool runs = run.status == 0 && run.out == "ok 3 175 79\n";
      // Killed by SIGILL, or by SIGSEGV where ARMv5TE reads Thumb-2 as other code.
      bool sigill = run.status == 128 + 4 || run.status == 128 + 11;
      ASSERT_TRUE(runs || sigill) << name << " on " << cols[c].cpu << ": " << run.status << "\n"
                                  << run.out;
      std::string got = verdict(judge_elf(image.data(), image.size(), id, cols[c].b));
      EXPECT_EQ(got, r.want[c]) << name << " on " << cols[c].cpu;
      // The row itself against qemu: no false alarm, no false pass.
      if (r.want[c] == "ok") {
        EXPECT_TRUE(runs) << name << " on " << cols[c].cpu;
      } else if (r.want[c] == "dies" || r.want[c] == "refused") {
        EXPECT_TRUE(sigill) << name << " on " << cols[c].cpu;
      }
    }
  }
}
