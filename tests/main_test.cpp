// SPDX-License-Identifier: MIT
// Start-up of the real daemon: configuration, directories and the run file.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

// Marks a directory immutable, so that not even root can create entries in it.
class ImmutableDir {
 public:
  explicit ImmutableDir(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY)) {
    ok = fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags_) == 0 && set(flags_ | FS_IMMUTABLE_FL);
  }
  ~ImmutableDir() {
    if (ok) set(flags_);
    if (fd_ >= 0) close(fd_);
  }
  bool ok = false;

 private:
  bool set(int flags) { return ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0; }
  int fd_;
  int flags_ = 0;
};

// An empty /tmp in this test program's own mount namespace, with the
// sandbox still at its path, so that the test decides what /tmp/.uci is.
class FreshTmp {
 public:
  explicit FreshTmp(const std::string& root) : fresh_(root + "/fresh") {
    std::string inner = fresh_ + root.substr(root.rfind('/'));
    ok = private_mounts() && mkdir(fresh_.c_str(), 0755) == 0 &&
         mount("minder-tmp", fresh_.c_str(), "tmpfs", 0, "mode=1777") == 0 &&
         mkdir(inner.c_str(), 0755) == 0 &&
         mount(root.c_str(), inner.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(fresh_.c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0;
  }
  ~FreshTmp() {
    if (ok) umount2("/tmp", MNT_DETACH);
    umount2(fresh_.c_str(), MNT_DETACH);
  }
  bool ok = false;

 private:
  std::string fresh_;
};

}  // namespace

TEST(StartUp, RunFileNamesProgramDirectoryAndIsEmptiedOnRestart) {
  Sandbox box;
  std::string kid = box.child("kid");
  box.config(config_for({kid}));
  box.plan(kid, "exit 3\nstay\n");
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; }));
  EXPECT_EQ(box.run_file().rfind(box.prog + "\n", 0), 0u);
  EXPECT_NE(box.run_file().find(kid + " exited normally with code(3)\n"), std::string::npos);
  box.stop();
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 3; }));
  EXPECT_EQ(box.run_file(), box.prog + "\n");
}

TEST(StartUp, UnloadableConfigEndsTheDaemon) {
  for (const char* text : {static_cast<const char*>(nullptr), "", "   \n", R"({"__watch":)",
                           R"({"__watch":{"processes":[{"base":7}]}})"}) {
    SCOPED_TRACE(text ? text : "(no config)");
    Sandbox box;
    if (text) box.config(text);
    box.start();
    EXPECT_EQ(box.wait_exit(), 0);
    EXPECT_EQ(box.out(), "failed to init daemon\n");
    EXPECT_FALSE(Sandbox::exists(box.run_path()));
  }
}

TEST(StartUp, OneDaemonPerExecutableName) {
  Sandbox first;
  std::string kid = first.child("first");
  first.config(config_for({kid}));
  first.start();
  ASSERT_TRUE(eventually([&] { return first.starts(kid).size() == 1; }));
  const std::string run_before = first.run_file();

  // The same executable name, installed and started in another directory.
  Sandbox same;
  same.argv0 = same.prog + "/" + first.name;
  Sandbox::write(same.argv0, Sandbox::read(MINDER_BIN));
  chmod(same.argv0.c_str(), 0755);
  std::string other_kid = same.child("second");
  same.config(config_for({other_kid}));
  same.start();
  EXPECT_EQ(same.wait_exit(), 0);
  EXPECT_EQ(same.out(), "already in use for " + first.run_path() + "\nprocess(" + same.argv0 +
                            ") already run\n");
  EXPECT_TRUE(same.starts(other_kid).empty());
  EXPECT_EQ(first.run_file(), run_before);
  EXPECT_EQ(first.starts(kid).size(), 1u);
  EXPECT_TRUE(process_alive(first.last_pid(kid)));

  // A different executable name runs beside it.
  Sandbox other;
  std::string third = other.child("third");
  other.config(config_for({third}));
  other.start();
  EXPECT_TRUE(eventually([&] { return other.starts(third).size() == 1; }));
  EXPECT_EQ(other.run_file(), other.prog + "\n");
}

TEST(StartUp, ProgramDirectoryComesFromArgv0) {
  enum Form { kRelative, kBare, kDotted, kDoubleSlash };
  for (Form form : {kRelative, kBare, kDotted, kDoubleSlash}) {
    SCOPED_TRACE(form);
    Sandbox box;
    std::string kid = box.child("kid");
    box.config(config_for({kid}));
    if (form == kRelative) box.start({}, 100, box.root, "prog/" + box.name);
    if (form == kBare) box.start({}, 100, box.prog, box.name);
    if (form == kDotted) box.start({}, 100, box.prog, "./" + box.name);
    if (form == kDoubleSlash) box.start({}, 100, "/", box.root + "//prog//" + box.name);
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 1; }));
    EXPECT_EQ(box.last_args(kid), kid);
    EXPECT_EQ(box.run_file(), box.prog + "\n");
  }
}

TEST(StartUp, DataDirectoryThatCannotBeCreatedEndsTheDaemon) {
  Sandbox box;
  std::string kid = box.child("kid");
  box.config(config_for({kid}));
  ASSERT_EQ(rmdir(box.data.c_str()), 0);
  Sandbox::write(box.root + "/out", "");  // the daemon's output file must exist beforehand
  ImmutableDir frozen(box.root);
  if (!frozen.ok) GTEST_SKIP() << "this file system cannot make a directory immutable";
  box.start();
  EXPECT_EQ(box.wait_exit(), 0);
  EXPECT_EQ(box.out(), std::string("mkdir (../data/) error: ") + strerror(EPERM));
  EXPECT_TRUE(box.starts(kid).empty());
  EXPECT_FALSE(Sandbox::exists(box.run_path()));
}

// The state directory is made sticky, as /tmp is; one that is a link, or
// another user's, is refused before anything is written into it.
TEST(StartUp, StateDirectoryMustBeTheDaemonsOwn) {
  if (!private_mounts()) GTEST_SKIP() << "needs root: /tmp/.uci is replaced in a mount namespace";
  for (std::string kind : {"absent", "link", "foreign"}) {
    SCOPED_TRACE(kind);
    Sandbox box;
    std::string kid = box.child("kid");
    box.config(config_for({kid}));
    const std::string theirs = box.root + "/theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0777), 0);
    FreshTmp tmp(box.root);
    ASSERT_TRUE(tmp.ok);
    if (kind == "link") {
      ASSERT_EQ(symlink(theirs.c_str(), "/tmp/.uci"), 0);
    }
    if (kind == "foreign") {
      ASSERT_EQ(mkdir("/tmp/.uci", 0777) | chown("/tmp/.uci", 60000, 60000), 0);
    }
    box.start();
    if (kind == "absent") {
      ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 1; }));
      mode_t mask = umask(0);
      umask(mask);
      struct stat st {};
      EXPECT_EQ(stat("/tmp/.uci", &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 01777 & ~mask);
      continue;
    }
    EXPECT_EQ(box.wait_exit(), 0);
    EXPECT_EQ(box.out(), std::string("mkdir (/tmp/.uci/) error: ") + strerror(EPERM));
    EXPECT_FALSE(Sandbox::exists(theirs + "/" + box.name + ".run"));
  }
}

// The demo (make demo) stopped as its banner says, with SIGTERM to the script
// or Ctrl-C: it removes what it made and ends with status 0, so that make
// reports no error, and without the shell's "Terminated" about the daemon.
TEST(Demo, EndsQuietlyWhenToldToStop) {
  if (!private_mounts())
    GTEST_SKIP() << "needs root: the demo's run file goes to a /tmp/.uci of its own";
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    Sandbox box;
    const std::string out = box.root + "/demo-out";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGINT, SIG_DFL);  // a shell keeps a signal ignored at its start
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      execl("/bin/sh", "sh", MINDER_SOURCE_DIR "/scripts/demo", MINDER_BIN, nullptr);
      _exit(127);
    }
    ASSERT_TRUE(eventually([&] {
      return Sandbox::read(out).find("run file |") != std::string::npos;
    })) << Sandbox::read(out);
    kill(pid, sig);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        << Sandbox::read(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = Sandbox::read(out);
    EXPECT_NE(text.find("== demo over: removed"), std::string::npos) << text;
    EXPECT_EQ(text.find("Terminated"), std::string::npos) << text;
    EXPECT_FALSE(Sandbox::exists("/tmp/.uci/minder-demo.run"));
  }
}
