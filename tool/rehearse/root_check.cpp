// SPDX-License-Identifier: MIT
// What minder needs of the board's root: /bin/sh, with which it runs killall
// (to end the children of an earlier cycle) and tar (to unpack a package),
// each found on its PATH as its shell finds it, and each working there.
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "package.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"

namespace {

// A gzip-compressed tar of one small file, as a package is.
bool write_probe(const std::string& path) {
  std::unique_ptr<archive, archive_writer_freer> a(archive_write_new());
  std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                             archive_entry_free);
  static const char text[] = "probe\n";
  archive_entry_set_pathname(e.get(), "probe");
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_perm(e.get(), 0644);
  archive_entry_set_size(e.get(), sizeof text - 1);
  return archive_write_set_format_ustar(a.get()) == ARCHIVE_OK &&
         archive_write_add_filter_gzip(a.get()) == ARCHIVE_OK &&
         archive_write_open_filename(a.get(), path.c_str()) == ARCHIVE_OK &&
         archive_write_header(a.get(), e.get()) == ARCHIVE_OK &&
         archive_write_data(a.get(), text, sizeof text - 1) == sizeof text - 1 &&
         archive_write_close(a.get()) == ARCHIVE_OK;
}

// Runs the shell script in the board's root as minder would, on a board of
// its own (sealed as a phase's is), its standard output to the file out; its
// exit status, or -1 when the board could not start or the script did not
// end within a minute.
int run_in_root(const rehearsal& r, const char* script, const std::string& out) {
  std::string cpu = "QEMU_CPU=" + r.qemu_cpu, path = std::string("PATH=") + kBoardPath, why;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script),
                  nullptr};
  char* envp[] = {const_cast<char*>(path.c_str()), const_cast<char*>("HOME=/"),
                  r.qemu_cpu.empty() ? nullptr : const_cast<char*>(cpu.c_str()), nullptr};
  unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  unique_fd out_fd(open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  board_ns board;
  if (null_fd.get() < 0 || out_fd.get() < 0 || !start_board(r, &board, &why)) return -1;
  pid_t pid = start_in_board(board, [&] {
    if (dup2(null_fd.get(), 0) >= 0 && dup2(out_fd.get(), 1) >= 0 && dup2(null_fd.get(), 2) >= 0 &&
        chdir("/") == 0)
      execve("/bin/sh", argv, envp);
  });
  int status = -1;
  for (int waited = 0; pid > 0 && waited < 1200; ++waited) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = 0;
      break;
    }
    struct timespec tick = {0, 50000000};
    nanosleep(&tick, nullptr);
  }
  // The board's init ends, and with it whatever the script left.
  kill(board.init, SIGKILL);
  while (waitpid(board.init, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::vector<std::string> root_lacks(int killall_status, int tar_status) {
  std::vector<std::string> out;
  std::string path = std::string(" that minder's shell finds on its PATH (") + kBoardPath + ")";
  if (killall_status == 127)
    out.push_back("no killall" + path + ": minder cannot end the children of an earlier cycle");
  else if (killall_status >= 126)
    out.push_back("killall cannot be executed (status " + std::to_string(killall_status) +
                  "): minder cannot end the children of an earlier cycle");
  if (tar_status == 127)
    out.push_back("no tar" + path + ": minder cannot unpack an upgrade package");
  else if (tar_status != 0)
    out.push_back("tar cannot read a gzip-compressed package (status " +
                  std::to_string(tar_status) + "): minder cannot unpack one");
  return out;
}

std::vector<std::string> probe_root(const rehearsal& r) {
  std::string why, probe = "/tmp/.rehearse-probe.tgz", said = "/tmp/.rehearse-probe.out";
  if (!mount_tmp(r, &why)) return {"cannot be probed: " + why};
  std::vector<std::string> out;
  int killall_status = -1, tar_status = -1;
  std::string text;
  if (!write_probe(r.root + probe)) {
    out.push_back("cannot be probed: " + probe + " not written");
  } else if (run_in_root(r,
                         ("killall minder-rehearse-probe >/dev/null 2>&1; k=$?; tar -tzf " + probe +
                          " >/dev/null 2>&1; echo $k $?; exit 0")
                             .c_str(),
                         r.root + said) != 0 ||
             !read_text(r.root + said, &text, &why) ||
             sscanf(text.c_str(), "%d %d", &killall_status, &tar_status) != 2) {
    out.push_back("/bin/sh does not run a command there: minder runs killall and tar with it");
  } else {
    out = root_lacks(killall_status, tar_status);
  }
  for (std::string& line : out) line = "the board's root: " + line;
  unmount_tmp(r);
  return out;
}
