// SPDX-License-Identifier: MIT
// minder-tool: checks a program directory, builds and inspects upgrade
// packages and explains the boot-check record, with the daemon's own loader
// and record code, so that its verdict is the daemon's verdict.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct archive;
struct archive_entry;

// What happens on the device when a configured child cannot be executed from
// ../data/.
inline constexpr char kFallsBack[] =
    "in data mode its start fails with 129 and the device falls back to the shipped programs";

// What happens on the device when a program cannot be executed.
inline constexpr char kNoExec[] = "execv fails and the child ends with 129";

// What happens on the device when tar -zxf fails on a package.
inline constexpr char kNoData[] = "the daemon records the upgrade without plugindata";
// The same for a package that tar cannot read whole, which the daemon's test
// refuses over an earlier upgrade.
inline constexpr char kNotWhole[] =
    "the daemon records the upgrade without plugindata (over an earlier upgrade its test, tar "
    "-tzf, fails first and that upgrade runs on)";

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

// libarchive's text for the last error of a.
const char* archive_why(archive* a);

// Free a libarchive reader or writer: deleters for std::unique_ptr.
struct archive_reader_freer {
  void operator()(archive* a) const;
};
struct archive_writer_freer {
  void operator()(archive* a) const;
};

// What the command line gave: positional arguments and the known options.
struct options {
  std::vector<std::string> args;
  const char* out = nullptr;      // -o FILE
  const char* config = nullptr;   // --config FILE
  const char* arch = nullptr;     // --arch NAME
  const char* daemon = nullptr;   // --daemon NAME
  const char* libc = nullptr;     // --libc NAME: musl (the default) or glibc
  const char* output = nullptr;   // --output FILE: minder's standard output
  const char* svg = nullptr;      // --svg FILE
  bool json = false;              // --json
  bool timeline = false;          // --timeline
  const char* root = nullptr;     // --root ROOTFS
  const char* seconds = nullptr;  // --seconds N
  const char* keep = nullptr;     // --keep DIR
};

int cmd_check(const options& opt);
int cmd_pack(const options& opt);
int cmd_inspect(const options& opt);
int cmd_record(const options& opt);
int cmd_log(const options& opt);
int cmd_rehearse(const options& opt);

// Findings, one line each on standard output, starting with the file they are
// about. Problems (what would stop or surprise the daemon) are counted.
class report {
 public:
  void problem(const std::string& where, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  void note(const std::string& where, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  int problems() const { return problems_; }
  int status() const { return problems_ ? 1 : 0; }

 private:
  int problems_ = 0;
};

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

// The attributes from the contents of such a section (big: a big-endian
// ELF); false when they are malformed.
bool arm_attributes_parse(const unsigned char* data, size_t len, bool big, arm_cpu* cpu);
// The attributes of the ELF file image; false when it has none.
bool elf_arm_cpu(const unsigned char* image, size_t len, arm_cpu* cpu);
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
// Where the last loadable segment of an ELF program ends in its file; false
// when its program headers lie beyond len.
bool elf_loaded_end(const unsigned char* image, size_t len, const elf_id& id,
                    unsigned long long* end);
// Whether the section headers of an ELF program lie within len.
bool elf_sections_within(const unsigned char* image, size_t len, const elf_id& id);

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

// The largest program the tool reads whole.
constexpr size_t kProgramMax = 256u << 20;

// Judges a program by its contents: an ELF program for the board, or a
// script, whose interpreter line becomes a note.
void check_program_bytes(report& rep, const std::string& where, const unsigned char* data,
                         size_t len, const board& b);

// The release version that the daemon binary path carries ("minder version
// X"); empty when it carries none.
std::string daemon_version(const std::string& path);

// The daemon's open_regular, saying why when it fails; with size, the file's
// size too.
int open_input(const std::string& path, std::string* why, off_t* size = nullptr);

// Reads up to size bytes from the start of the regular file path into buf;
// false, and why, when it cannot.
bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len,
               std::string* why);
// Reads the whole regular file path, at most kProgramMax bytes; false, and
// why, when it cannot.
bool read_whole(const std::string& path, std::vector<unsigned char>* data, std::string* why);
// The identity of the regular file path when it is an ELF program.
bool elf_of(const std::string& path, elf_id* id);

// The board: --libc, and the architecture and CPU: --arch when given, else
// the daemon binary in dir: the file --daemon names (its path, when dir is
// empty), or every ELF program there that is neither one of children nor
// minder-tool (they must agree). b->known is false when the architecture
// cannot be told, b->cpu.known when the CPU cannot; a note says why.
void find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, board* b);

// Empty when the gzip file fd is whole as gzip -d sees it (every member's CRC
// and length right, nothing but zeros after the last), else what is wrong and
// what tar -zxf does with it.
std::string gzip_damage(int fd);

// What the daemon keeps in ../data/ under name, when a package must not hold
// it at its root; else null.
const char* reserved_name(const std::string& name);

// A package as tar -zxf unpacks it, entry by entry: what is asked of it and
// what has landed so far.
struct unpacking {
  struct child {
    std::string name;
    bool found = false;
  };
  std::vector<child> children;  // the configured children, with --config
  board b;
  bool every_program = false;          // judge every executable file, not only children
  int programs = 0;                    // executable files seen
  std::map<std::string, bool> landed;  // path below ../data/: true for a directory
};

// Flags what tar would do with the entry e that hurts; reads the data of a
// program it judges.
void judge_entry(report& rep, const std::string& where, archive* a, archive_entry* e, unpacking& u);

// The children the daemon would start with config_path (at most four, or its
// default child), and with watched whether it checks each one's heartbeat;
// false when the daemon cannot load the file.
bool configured_children(const char* config_path, std::vector<std::string>* names,
                         std::vector<bool>* watched = nullptr);

// The boot-check record in a data directory, read with the daemon's code.
struct record_view {
  bool read = false;  // the file is there and could be read
  std::string shown;  // its first bytes, escaped
  std::string says;   // the mode the next cycle will use, and why
  bool data_mode = false;
  bool blob = false;  // it lists a script blob (luadata)
};
record_view read_record(const std::string& data_dir);

// "drwxr-xr-x" for a file type and mode.
std::string mode_text(mode_t mode);
std::string dir_of(const std::string& path);
// A package member's path as it lands below ../data/: leading "./" and
// trailing "/" dropped.
std::string landing(const char* path);
