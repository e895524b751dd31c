// SPDX-License-Identifier: MIT
// Path helpers, the quoted kill command and descriptor clean-up before exec.
#include "common.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "harness.hpp"

TEST(Paths, BaseAndDirName) {
  auto check = [](const std::string& path, const std::string& want_base,
                  const std::string& want_dir) {
    size_t len = 0;
    const char* base = base_name(path.c_str(), &len);
    EXPECT_EQ(std::string(base, len), want_base) << path;
    char dir[8192];
    ASSERT_EQ(dir_name(path.c_str(), dir, sizeof dir), 0) << path;
    EXPECT_EQ(dir, want_dir) << path;
  };
  const char* cases[][3] = {{"", ".", "."},
                            {"a", "a", "."},
                            {"/", "/", "/"},
                            {"//", "/", "/"},
                            {"/a", "a", "/"},
                            {"//a", "a", "/"},
                            {"/usr/lib", "lib", "/usr"},
                            {"/usr/lib/", "lib", "/usr"},
                            {"usr//", "usr", "."},
                            {"a//b//", "b", "a"},
                            {"../data/", "data", ".."}};
  for (const auto& c : cases) check(c[0], c[1], c[2]);
  const std::string deep(5000, 'd'), flat(6000, 'f');
  check(deep + "/name/", "name", deep);
  check(flat, flat, ".");
  char dir[8];
  EXPECT_EQ(dir_name("/usr/lib", dir, 5), 0);  // "/usr" and its NUL fit exactly
  EXPECT_EQ(dir_name("/usr/lib", dir, 4), -1);
}

// Runs the kill command with killall replaced by a shell function that
// records the arguments it receives.
static std::string shell_receives(const std::string& name) {
  char cmd[kDataPathSize];
  if (build_kill_command(cmd, sizeof cmd, name.c_str()) != 0) return "<too long>";
  char out[] = "/tmp/minder-kill-XXXXXX";
  close(mkstemp(out));
  std::string script =
      "killall() { printf '%s|' \"$#\" \"$@\" >" + std::string(out) + "; }; " + cmd;
  int rc = system(script.c_str());
  std::string got = rc == 0 ? Sandbox::read(out) : "<shell failed>";
  unlink(out);
  return got;
}

TEST(KillCommand, ShellGetsExactlyTheName) {
  for (std::string name : {"plain", "two words", "it's", "'a''b'", "$(echo pwned)", "`id`",
                           "x; echo y", "\"dq\" \\ back", "*", "line\nbreak", ""})
    EXPECT_EQ(shell_receives(name), "2|-9|" + name + "|") << name;
}

TEST(KillCommand, RefusedWhenTooLong) {
  const std::string want = "killall -9 'it'\\''s' >/dev/null 2>&1";
  char buf[64];
  ASSERT_EQ(build_kill_command(buf, want.size() + 1, "it's"), 0);
  EXPECT_EQ(buf, want);
  EXPECT_EQ(build_kill_command(buf, want.size(), "it's"), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(shell_receives(std::string(kDataPathSize, 'n')), "<too long>");
}

TEST(KillCommand, NamesThatHitItsOwnToolsRunAlone) {
  for (const char* name : {"sh", "killall", "busybox", "exe", "/bin/sh", "./killall", "sh/"})
    EXPECT_TRUE(kill_hits_own_tools(name)) << name;
  for (const char* name : {"", "s", "ssh", "bash", "sh.d", "killall5", "/bin/sh/x", "ex"})
    EXPECT_FALSE(kill_hits_own_tools(name)) << name;
}

// In a forked child: descriptors 10, 40, 99, 199 and 200 made, the open-file
// limit lowered to 200, then act() run; the exit status has bit i set when
// kProbe[i] is still open.
static const int kProbe[] = {0, 1, 2, 10, 40, 99, 199, 200};

static int open_after(const std::function<void()>& act) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open("/dev/null", O_RDWR);
    for (int target : kProbe)
      if (fcntl(target, F_GETFD) < 0) dup2(fd, target);
    if (fd > 2) close(fd);
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 200;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(255);
    act();
    int mask = 0;
    for (int i = 0; i < 8; ++i)
      if (fcntl(kProbe[i], F_GETFD) >= 0) mask |= 1 << i;
    _exit(mask);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CloseFds, ExactlyFromFirstToLimit) {
  struct {
    int first;
    bool listed;
    long limit;
  } cases[] = {{0, false, 200},  {-5, false, 200},  {3, false, 200},   {11, false, 200},
               {40, false, 200}, {199, false, 200}, {200, false, 200}, {3, true, 200},
               {10, true, 100},  {41, true, 201}};
  for (const auto& c : cases) {
    int from = c.first < 1 ? 3 : c.first;
    int want = 0;
    for (int i = 0; i < 8; ++i)
      if (kProbe[i] < from || kProbe[i] >= c.limit) want |= 1 << i;
    int got = open_after([&] {
      if (c.listed)
        close_listed_fds(c.first, c.limit);
      else
        close_inherited_fds(c.first);
    });
    EXPECT_EQ(got, want) << "first " << c.first << (c.listed ? " listed" : "") << " limit "
                         << c.limit;
  }
}
