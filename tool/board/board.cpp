// SPDX-License-Identifier: MIT
// What the board makes of an ELF program: whether its kernel executes it
// (architecture, program interpreter, a whole file) and, on 32-bit ARM,
// whether its CPU has what the program needs (cpu.cpp).
#include <fnmatch.h>
#include <stdio.h>

#include <algorithm>

#include "elf.hpp"

namespace {

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
  else
    judge_cpu(out, image, len, prog, b.cpu);
  return out;
}
