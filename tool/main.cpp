// SPDX-License-Identifier: MIT
// minder-tool: the integrator's host tool. One command per source file.
#include <stdio.h>
#include <string.h>

#include "board.hpp"
#include "common.hpp"
#include "log.hpp"
#include "package.hpp"
#include "rehearse.hpp"

namespace {

const char kSynopsis[] =
    "usage: minder-tool check DIR [--arch NAME | --daemon NAME] [--libc musl | glibc]\n"
    "       minder-tool pack SRC -o FILE [--config CONFIG] [--arch NAME | --daemon NAME]\n"
    "                        [--libc musl | glibc]\n"
    "       minder-tool inspect FILE [--config CONFIG] [--arch NAME | --daemon NAME]\n"
    "                        [--libc musl | glibc]\n"
    "       minder-tool record DATA_DIR [--config CONFIG] [--arch NAME | --daemon NAME]\n"
    "                        [--libc musl | glibc]\n"
    "       minder-tool log RUNFILE [--config CONFIG] [--output STDOUT_LOG] [--svg FILE]\n"
    "                       [--json] [--timeline]\n"
    "       minder-tool log RUNFILE|DIR... [--config CONFIG] [--json] [--each] [--timeline]\n"
    "       minder-tool rehearse DIR [PACKAGE] [--root ROOTFS] [--arch NAME | --daemon NAME]\n"
    "                        [--libc musl | glibc] [--seconds N] [--svg FILE] [--keep DIR]\n"
    "       minder-tool --help | --version\n";
const char kUsage[] =
    "\n"
    "check    explains what the daemon will make of DIR/config and the programs it names\n"
    "pack     builds an upgrade package from SRC, the tree that lands in ../data/\n"
    "inspect  lists what a package would install and flags what would hurt\n"
    "record   prints DATA_DIR/.bootchk, the mode the next cycle will use, and what\n"
    "         an upgrade left there that is not in use\n"
    "log      explains a run file: each child's ends, warnings, a timeline (--timeline),\n"
    "         JSON (--json), a picture (--svg); --output adds minder's standard output\n"
    "         (NAME.out beside NAME.run is read without it); several files, or the\n"
    "         *.run files in DIR and below, are summed up as a fleet (--each explains\n"
    "         each too), or with --json written as JSON Lines, one object per file\n"
    "rehearse runs DIR's daemon on an emulated board: first boot, then with PACKAGE\n"
    "         the request (a child exits 130) and a reboot; reports each child's\n"
    "         starts, arguments and ends, the record after each phase, and the problems\n"
    "\n"
    "The board's architecture is that of the daemon binary in the program directory\n"
    "(DIR, or the directory of CONFIG): the file --daemon names (a path, without\n"
    "--config), or the ELF programs there that are not children; --arch names it\n"
    "instead: armhf (arm: ARMv7-A, VFPv3-D16, hard-float), armel (ARMv5TE,\n"
    "soft-float), aarch64 and more. For 32-bit ARM the daemon's build attributes\n"
    "tell the CPU too. Its C library is musl unless --libc glibc says so.\n"
    "--version prints the tool's version and the version text of the boot-check\n"
    "records it reads and the daemon writes.\n"
    "Exit status: 0 nothing found, 1 something would stop or surprise the daemon\n"
    "(record: DATA_DIR cannot be read), 2 usage error. For log: 0 no warning, 1\n"
    "warnings, 3 a file that cannot be read or is not a run file.\n"
    "\n"
    "rehearse: the board's root is ROOTFS, or Debian's busybox-static for its\n"
    "architecture, fetched with apt-get download into ~/.cache/minder-tool; its\n"
    "oldest CPU is emulated with qemu-user (an x86-64 DIR runs natively). Phase 1\n"
    "runs 20 s, phase 2 60 s after the request, phase 3 20 s; --seconds N makes\n"
    "each phase N s long. A heartbeat kill comes 360-480 s after the last\n"
    "heartbeat: to see one, give --seconds 490 or more. --svg FILE draws the\n"
    "rehearsal; --keep DIR keeps the rehearsal's root and files.\n"
    "Exit status: 0 no problem, 1 problems, 2 usage or set-up error.\n";

int usage(const char* why) {
  if (why) fprintf(stderr, "minder-tool: %s\n", why);
  fputs(kSynopsis, stderr);
  return 2;
}

struct command {
  const char* name;
  int (*run)(const options&);
  // The options it takes, by letter: o, c (config), a (arch, daemon, libc), s
  // (svg), for log O (output), j (json), t (timeline), e (each), for rehearse r (root,
  // seconds, keep).
  const char* allowed;
  size_t most = 1;  // paths it takes, one at least
};

const command kCommands[] = {{"check", cmd_check, "a"},
                             {"pack", cmd_pack, "oca"},
                             {"inspect", cmd_inspect, "ca"},
                             {"record", cmd_record, "ca"},
                             {"log", cmd_log, "cOsjte", 1u << 30},
                             {"rehearse", cmd_rehearse, "asr", 2}};

// Fills opt from argv[first..]; null, or why the command line is wrong.
const char* parse(int argc, char** argv, int first, const command& c, options* opt) {
  const char* allowed = c.allowed;
  struct flag {
    const char* name;
    char letter;
    const char** slot;
  };
  const flag flags[] = {{"-o", 'o', &opt->out},
                        {"--config", 'c', &opt->config},
                        {"--arch", 'a', &opt->arch},
                        {"--daemon", 'a', &opt->daemon},
                        {"--libc", 'a', &opt->libc},
                        {"--output", 'O', &opt->output},
                        {"--svg", 's', &opt->svg},
                        {"--root", 'r', &opt->root},
                        {"--seconds", 'r', &opt->seconds},
                        {"--keep", 'r', &opt->keep}};
  struct toggle {
    const char* name;
    char letter;
    bool* slot;
  };
  const toggle toggles[] = {{"--json", 'j', &opt->json},
                            {"--timeline", 't', &opt->timeline},
                            {"--each", 'e', &opt->each}};
  for (int i = first; i < argc; ++i) {
    const flag* f = nullptr;
    for (const flag& candidate : flags)
      if (strcmp(argv[i], candidate.name) == 0) f = &candidate;
    const toggle* t = nullptr;
    for (const toggle& candidate : toggles)
      if (strcmp(argv[i], candidate.name) == 0) t = &candidate;
    if (t && !strchr(allowed, t->letter)) return "option not taken by this command";
    if (t) {
      *t->slot = true;
      continue;
    }
    if (!f && argv[i][0] == '-' && argv[i][1] != '\0') return "unknown option";
    if (!f) {
      opt->args.push_back(argv[i]);
      continue;
    }
    if (!strchr(allowed, f->letter)) return "option not taken by this command";
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return "option without its value";
    *f->slot = argv[++i];
  }
  if (opt->args.empty() || opt->args.size() > c.most)
    return c.most > 2   ? "a path expected"
           : c.most > 1 ? "one or two paths expected"
                        : "one path expected";
  if (strchr(allowed, 'o') && !opt->out) return "-o FILE is required";
  if (opt->arch && opt->daemon) return "--arch and --daemon exclude each other";
  if (opt->libc && strcmp(opt->libc, "musl") != 0 && strcmp(opt->libc, "glibc") != 0)
    return "--libc takes musl or glibc";
  elf_id id;
  if (opt->arch && !arch_by_name(opt->arch, &id)) {
    fprintf(stderr, "minder-tool: known architectures: %s\n", arch_list());
    return "unknown architecture";
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(nullptr);
  if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
    printf("%s%s", kSynopsis, kUsage);
    return 0;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("minder-tool %s (boot-check record version %s)\n", MINDER_VERSION, kVersion);
    return 0;
  }
  for (const command& c : kCommands) {
    if (strcmp(argv[1], c.name) != 0) continue;
    options opt;
    if (const char* why = parse(argc, argv, 2, c, &opt)) return usage(why);
    for (std::string& path : opt.args)
      while (path.size() > 1 && path.back() == '/') path.pop_back();
    return c.run(opt);
  }
  return usage("unknown command");
}
