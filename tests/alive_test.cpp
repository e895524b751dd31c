// SPDX-License-Identifier: MIT
// One pass of the liveness check at a time, without the thread.
#include "alive.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "harness.hpp"

TEST(CheckSlots, ThirdMissKillsByName) {
  Sandbox box;
  // A real process to kill, under a name nothing else on the system has.
  const std::string name = "hb" + box.name;
  const std::string exe = box.root + "/" + name;
  Sandbox::write(exe, Sandbox::read("/bin/sleep"));
  chmod(exe.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    execl(exe.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  // killall finds it by name only once it runs the copy.
  const std::string comm = "/proc/" + std::to_string(child) + "/comm";
  ASSERT_TRUE(eventually([&] { return Sandbox::read(comm) == name + "\n"; }));
  const std::string beat = box.root + "/beat.alive", log = box.root + "/log";
  auto state = std::make_unique<supervisor_state>();
  state->run_fd = open(log.c_str(), O_RDWR | O_CREAT, 0644);
  state->proc_count = 3;
  proc_slot* s = state->slots;
  for (int i = 0; i < kMaxSlots; ++i) {
    snprintf(s[i].name, kPathSize, "%s", name.c_str());
    snprintf(s[i].alive_path, kPathSize, "%s", beat.c_str());
    s[i].pid = child;
  }
  s[1].pid = 0;               // no child running: skipped
  s[2].alive_path[0] = '\0';  // not watched
  s[3].pid = child;           // beyond proc_count
  s[0].miss_count = 2;

  Sandbox::write(beat, "");
  check_slots(*state);
  EXPECT_FALSE(Sandbox::exists(beat));  // a found heartbeat is taken away
  EXPECT_EQ(s[0].miss_count, 0u);
  for (uint32_t miss : {1u, 2u}) {
    check_slots(*state);
    EXPECT_EQ(s[0].miss_count, miss);
  }
  EXPECT_TRUE(process_alive(child));
  EXPECT_EQ(Sandbox::read(log), "");
  check_slots(*state);
  EXPECT_EQ(Sandbox::read(log), name + " is not alive, and we will kill it.\n");
  EXPECT_EQ(s[0].miss_count, 0u);
  EXPECT_EQ(s[0].killed_by_checker, 1);
  int status = 0;
  bool ended = eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 20);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  for (int i = 1; i < kMaxSlots; ++i) {
    EXPECT_EQ(s[i].miss_count, 0u) << i;
    EXPECT_EQ(s[i].killed_by_checker, 0) << i;
  }
  close(state->run_fd);
}
