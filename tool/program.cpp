// Judging a child's program by its first bytes, and telling the board it runs
// on from the daemon binary beside it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "common.hpp"
#include "tool.hpp"

namespace {

constexpr char kNoExec[] = "execv fails and the child ends with 129";

// Whether the board's C library brings the program interpreter interp.
bool loader_on_board(const std::string& interp, const board& b) {
  const char* musl[] = {"/lib/ld-musl-*.so.1"};
  const char* glibc[] = {"/lib*/ld-linux*.so.*", "/lib*/ld.so.1", "/lib*/ld64.so.*"};
  auto matches = [&](const char* pattern) {
    return fnmatch(pattern, interp.c_str(), FNM_PATHNAME) == 0;
  };
  return b.glibc ? std::any_of(std::begin(glibc), std::end(glibc), matches)
                 : std::any_of(std::begin(musl), std::end(musl), matches);
}

void check_elf(report& rep, const std::string& where, const unsigned char* head, size_t len,
               const elf_id& id, const board& b) {
  if (!b.known)
    rep.problem(where,
                "an ELF program, and the board's architecture is unknown: give --arch NAME "
                "(or --daemon NAME)");
  else if (id != b.id)
    rep.problem(where, "built for %s, the board is %s: %s", elf_name(id).c_str(),
                elf_name(b.id).c_str(), kNoExec);
  std::string interp;
  interp_result found = elf_interp(head, len, id, &interp);
  if (found == kBeyond)
    rep.note(where, "its program interpreter is not within its first %zu bytes: not checked", len);
  else if (found == kInterp && !loader_on_board(interp, b))
    rep.problem(
        where,
        "dynamically linked with the program interpreter \"%s\": the board's C "
        "library is %s: %s",
        interp.c_str(),
        b.glibc ? "glibc (--libc glibc), whose loaders are /lib*/ld-linux*.so.*, ld.so.1, ld64.so.*"
                : "musl, whose loader is /lib/ld-musl-*.so.1 (--libc glibc for glibc)",
        kNoExec);
}

void check_script(report& rep, const std::string& where, const unsigned char* head, size_t len) {
  const char* text = reinterpret_cast<const char*>(head);
  size_t end = std::find(text, text + len, '\n') - text;
  if (end > 2 && text[end - 1] == '\r') {
    // The kernel splits the line at the first blank: interpreter, then one argument.
    std::string words(text + 2, end - 3);
    size_t start = std::min(words.find_first_not_of(" \t"), words.size());
    size_t gap = std::min(words.find_first_of(" \t", start), words.size());
    size_t arg = std::min(words.find_first_not_of(" \t", gap), words.size());
    std::string interp = words.substr(start, gap - start);
    if (gap == words.size())
      return rep.problem(where,
                         "the #! line ends in a carriage return (CRLF line ends): the kernel "
                         "looks for the interpreter \"%s\\r\": %s",
                         interp.c_str(), kNoExec);
    return rep.problem(where,
                       "the #! line ends in a carriage return (CRLF line ends): the interpreter "
                       "%s gets the argument \"%s\\r\"",
                       interp.c_str(), words.substr(arg).c_str());
  }
  bool cut = end > 128;
  std::string line(text, std::min<size_t>(end, 128));
  rep.note(where, "script, interpreter line \"%s\"%s", line.c_str(), cut ? " (cut)" : "");
}

}  // namespace

void check_program_head(report& rep, const std::string& where, const unsigned char* head,
                        size_t len, const board& b) {
  elf_id id;
  if (elf_parse(head, len, &id)) return check_elf(rep, where, head, len, id, b);
  if (len >= 2 && head[0] == '#' && head[1] == '!') return check_script(rep, where, head, len);
  rep.problem(where, "%s: %s",
              len == 0 ? "empty file" : "neither an ELF program nor a script starting with #!",
              kNoExec);
}

int open_input(const std::string& path, std::string* why) {
  int fd = open_regular(path.c_str());
  int err = errno;
  struct stat st;
  if (fd >= 0) return fd;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
    *why = strerror(err);
    return -1;
  }
  *why = S_ISDIR(st.st_mode)    ? "a directory"
         : S_ISFIFO(st.st_mode) ? "a FIFO"
         : S_ISSOCK(st.st_mode) ? "a socket"
                                : "a device";
  *why += ", not a regular file";
  return -1;
}

bool read_head(const std::string& path, unsigned char* buf, size_t size, size_t* len,
               std::string* why) {
  unique_fd fd(open_input(path, why));
  if (fd.get() < 0) return false;
  *len = 0;
  while (*len < size) {
    ssize_t n = read(fd.get(), buf + *len, size - *len);
    if (n < 0) {
      *why = strerror(errno);
      return false;
    }
    if (n == 0) break;
    *len += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// The identity of the regular file path when it is an ELF program.
bool elf_of(const std::string& path, elf_id* id) {
  unsigned char head[64];
  size_t len = 0;
  std::string why;
  return read_head(path, head, sizeof head, &len, &why) && elf_parse(head, len, id);
}

// Whether path is this very tool, or a copy of it by its name: it is no daemon.
bool is_tool(const std::string& dir, const std::string& name) {
  struct stat self, st;
  if (name == "minder-tool") return true;
  return stat("/proc/self/exe", &self) == 0 && stat((dir + "/" + name).c_str(), &st) == 0 &&
         self.st_dev == st.st_dev && self.st_ino == st.st_ino;
}

// "minder 1.0.0", as the daemon binary path says of itself.
std::string version_text(const std::string& path) {
  std::string version = daemon_version(path);
  return version.empty() ? "no minder version in it" : "minder " + version;
}

}  // namespace

void find_board(report& rep, const std::string& dir, const std::vector<std::string>& children,
                const options& opt, board* b) {
  b->glibc = opt.libc && strcmp(opt.libc, "glibc") == 0;
  b->known = false;
  if (opt.arch) {
    b->known = arch_by_name(opt.arch, &b->id);
    return;
  }
  if (opt.daemon) {
    std::string path = dir + "/" + opt.daemon;
    b->known = elf_of(path, &b->id);
    if (b->known)
      rep.note(path, "the daemon (%s): the board is %s", version_text(path).c_str(),
               elf_name(b->id).c_str());
    else
      rep.problem(path, "--daemon names no ELF program: architectures not checked");
    return;
  }
  std::unique_ptr<DIR, dir_closer> d(opendir(dir.c_str()));
  std::vector<std::string> found;
  for (dirent* e; d && (e = readdir(d.get()));) {
    std::string name = e->d_name;
    elf_id id;
    if (std::find(children.begin(), children.end(), name) != children.end()) continue;
    if (!elf_of(dir + "/" + name, &id) || is_tool(dir, name)) continue;
    if (!found.empty() && id != b->id) {
      rep.note(dir,
               "ELF programs for %s (%s) and %s (%s) beside the children: name the daemon "
               "with --daemon or give --arch; architectures not checked",
               elf_name(b->id).c_str(), found[0].c_str(), elf_name(id).c_str(), name.c_str());
      return;
    }
    b->id = id;
    found.push_back(name);
  }
  if (found.empty()) {
    rep.note(dir,
             "no daemon binary (an ELF program that is no child) here: architectures not "
             "checked; give --arch or --daemon");
    return;
  }
  std::sort(found.begin(), found.end());
  std::string path = dir + "/" + found[0];
  rep.note(path, "the daemon (%s): the board is %s", version_text(path).c_str(),
           elf_name(b->id).c_str());
  b->known = true;
}
