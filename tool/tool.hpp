// minder-tool: checks a program directory, builds and inspects upgrade
// packages and explains the boot-check record, with the daemon's own loader
// and record code, so that its verdict is the daemon's verdict.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct archive;

// What happens on the device when a configured child cannot be executed from
// ../data/.
inline constexpr char kFallsBack[] =
    "in data mode its start fails with 129 and the device falls back to the shipped programs";

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

// libarchive's text for the last error of a.
const char* archive_why(archive* a);

// What the command line gave: positional arguments and the known options.
struct options {
  std::vector<std::string> args;
  const char* out = nullptr;     // -o FILE
  const char* config = nullptr;  // --config FILE
  const char* arch = nullptr;    // --arch NAME
  const char* daemon = nullptr;  // --daemon NAME
  const char* libc = nullptr;    // --libc NAME: musl (the default) or glibc
};

int cmd_check(const options& opt);
int cmd_pack(const options& opt);
int cmd_inspect(const options& opt);
int cmd_record(const options& opt);

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
// The identity that --arch names (arm, aarch64, x86-64, ...); false when unknown.
bool arch_by_name(const char* name, elf_id* id);
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
};

// Bytes needed from the start of a program to judge it.
constexpr size_t kHeadSize = 4096;

// Judges a program by its first bytes: an ELF program for the board, or a
// script, whose interpreter line becomes a note.
void check_program_head(report& rep, const std::string& where, const unsigned char* head,
                        size_t len, const board& b);

// The release version that the daemon binary path carries ("minder version
// X"); empty when it carries none.
std::string daemon_version(const std::string& path);

// The daemon's open_regular, saying why when it fails.
int open_input(const std::string& path, std::string* why);

// Reads up to size bytes from the start of the regular file path into buf;
// false, and why, when it cannot.
bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len,
               std::string* why);

// The board: --libc, and the architecture: --arch when given, else the daemon
// binary in dir: the file --daemon names, or every ELF program there that is
// neither one of children nor minder-tool (they must agree). b->known is false
// when the architecture cannot be told; a note says why.
void find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, board* b);

// Empty when the gzip file fd is whole as gzip -d sees it (every member's CRC
// and length right, nothing but zeros after the last), else what is wrong and
// what tar -zxf does with it.
std::string gzip_damage(int fd);

// What the daemon keeps in ../data/ under name, when a package must not hold
// it at its root; else null.
const char* reserved_name(const std::string& name);

// The children the daemon would start with config_path (at most four, or its
// default child); false when the daemon cannot load the file.
bool configured_children(const char* config_path, std::vector<std::string>* names);

// "drwxr-xr-x" for a file type and mode.
std::string mode_text(mode_t mode);
std::string dir_of(const std::string& path);
