// minder-tool: the integrator's host tool. One command per source file.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "common.hpp"
#include "config.hpp"
#include "tool.hpp"

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
    "warnings or not a run file.\n";

int usage(const char* why) {
  if (why) fprintf(stderr, "minder-tool: %s\n", why);
  fputs(kSynopsis, stderr);
  return 2;
}

struct command {
  const char* name;
  int (*run)(const options&);
  // The options it takes, by letter: o, c (config), a (arch, daemon, libc), and
  // for log O (output), s (svg), j (json), t (timeline).
  const char* allowed;
};

const command kCommands[] = {{"check", cmd_check, "a"},
                             {"pack", cmd_pack, "oca"},
                             {"inspect", cmd_inspect, "ca"},
                             {"record", cmd_record, "ca"},
                             {"log", cmd_log, "cOsjt"}};

// Fills opt from argv[first..]; null, or why the command line is wrong.
const char* parse(int argc, char** argv, int first, const char* allowed, options* opt) {
  struct flag {
    const char* name;
    char letter;
    const char** slot;
  };
  const flag flags[] = {{"-o", 'o', &opt->out},      {"--config", 'c', &opt->config},
                        {"--arch", 'a', &opt->arch}, {"--daemon", 'a', &opt->daemon},
                        {"--libc", 'a', &opt->libc}, {"--output", 'O', &opt->output},
                        {"--svg", 's', &opt->svg}};
  struct toggle {
    const char* name;
    char letter;
    bool* slot;
  };
  const toggle toggles[] = {{"--json", 'j', &opt->json}, {"--timeline", 't', &opt->timeline}};
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
  if (opt->args.size() != 1) return "one path expected";
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

// One line, whatever the names in it hold: control characters become '?'.
void say(const std::string& where, const char* fmt, va_list ap) {
  char text[16384];
  // The analyzer cannot see that the callers started ap.
  vsnprintf(text, sizeof text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
  std::string line = where + ": " + text;
  for (char& c : line)
    if (static_cast<unsigned char>(c) < ' ' || c == 127) c = '?';
  puts(line.c_str());
}

}  // namespace

void report::problem(const std::string& where, const char* fmt, ...) {
  ++problems_;
  va_list ap;
  va_start(ap, fmt);
  say(where, fmt, ap);
  va_end(ap);
}

void report::note(const std::string& where, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  say(where, fmt, ap);
  va_end(ap);
}

bool configured_children(const char* config_path, std::vector<std::string>* names) {
  auto state = std::make_unique<supervisor_state>();
  if (load_watch_config(config_path, *state) != 0) return false;
  for (int i = 0; i < slot_limit(*state); ++i) names->push_back(state->slots[i].name);
  return true;
}

std::string mode_text(mode_t mode) {
  std::string text = S_ISDIR(mode)    ? "d"
                     : S_ISLNK(mode)  ? "l"
                     : S_ISREG(mode)  ? "-"
                     : S_ISCHR(mode)  ? "c"
                     : S_ISBLK(mode)  ? "b"
                     : S_ISFIFO(mode) ? "p"
                     : S_ISSOCK(mode) ? "s"
                                      : "?";
  const char letters[] = "rwxrwxrwx";
  const mode_t special[] = {S_ISUID, S_ISGID, S_ISVTX};  // shown in place of x, as ls does
  for (int bit = 0; bit < 9; ++bit) {
    char c = mode & (0400 >> bit) ? letters[bit] : '-';
    if (bit % 3 == 2 && mode & special[bit / 3]) c = c == 'x' ? "sst"[bit / 3] : "SST"[bit / 3];
    text += c;
  }
  return text;
}

const char* reserved_name(const std::string& name) {
  if (name == ".bootchk") return "the boot-check record";
  if (name == ".bootchk.tmp") return "the temporary file of the boot-check record";
  if (name == "init.bin") return "the script blob";
  if (name == "init.bin.tmp") return "the temporary file of the script blob";
  return nullptr;
}

std::string dir_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

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
    if (const char* why = parse(argc, argv, 2, c.allowed, &opt)) return usage(why);
    std::string& path = opt.args[0];
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return c.run(opt);
  }
  return usage("unknown command");
}
