// SPDX-License-Identifier: MIT
// The launcher's argument vector, wait-status decoding, the exit-code
// protocol and the back-off.
#include "supervise.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "harness.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static std::string joined(const child_args& args) {
  std::string out;
  int n = 0;
  for (; n < 16 && args.argv[n]; ++n) out += (n ? " " : "") + std::string(args.argv[n]);
  EXPECT_LE(n, 12);
  for (; n < 16; ++n) EXPECT_EQ(args.argv[n], nullptr);  // null-terminated, rest clear
  return out;
}

TEST(ChildArgs, EveryCombination) {
  const std::string data = " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21";
  const char* a = "/tmp/.uci//p.alive";
  struct {
    int code, debug;
    const char* alive;
    int data_mode;
    std::string want;
  } cases[] = {{0, 0, "", 0, "p"},
               {3, 0, "", 0, "p -r 3"},
               {-1, 0, "", 0, "p -r -1"},
               {0, 1, "", 0, "p -d"},
               {0, 0, a, 0, "p -A /tmp/.uci//p.alive"},
               {0, 0, "", 1, "p" + data},
               {129, 1, "", 1, "p -r 129 -d" + data},
               {160, 0, a, 1, "p -r 160 -A /tmp/.uci//p.alive" + data},
               {199, 1, a, 1, "p -r 199 -d -A /tmp/.uci//p.alive" + data}};  // all twelve
  child_args args;
  for (const auto& c : cases) {
    build_child_args(args, "p", c.alive, c.code, c.debug, c.data_mode);
    EXPECT_EQ(joined(args), c.want);
  }
  const std::string path(300, 'p'), alive(5000, 'a');
  build_child_args(args, path.c_str(), alive.c_str(), 0, 0, 0);
  EXPECT_EQ(joined(args), path + " -A " + alive);  // long arguments reach the child whole
}

TEST(WaitStatus, DecodesRealEnds) {
  struct {
    const char* script;
    int code, exited;
  } cases[] = {{"exit 0", 0, 1},       {"exit 3", 3, 1},
               {"exit 129", 129, 1},   {"exit 255", 255, 1},
               {"kill -9 $$", 9, 0},   {"kill -11 $$", 11, 0},
               {"kill -15 $$", 15, 0}, {"kill -STOP $$", SIGSTOP, 0}};
  for (const auto& c : cases) {
    pid_t pid = fork();
    if (pid == 0) {
      rlimit none{0, 0};
      setrlimit(RLIMIT_CORE, &none);
      execl("/bin/sh", "sh", "-c", c.script, static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    if (WIFSTOPPED(status)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    int code = -1, exited = -1;
    decode_wait_status(status, code, exited);
    EXPECT_EQ(code, c.code) << c.script;
    EXPECT_EQ(exited, c.exited) << c.script;
  }
  int code = -1, exited = -1;
  decode_wait_status(0x80 | SIGSEGV, code, exited);  // with a core dump
  EXPECT_EQ(code, SIGSEGV);
  EXPECT_EQ(exited, 0);
}

TEST(WaitStatus, DecodeExitFindsSlot) {
  auto state = std::make_unique<supervisor_state>();
  state->proc_count = 2;
  state->slots[0].pid = 100;
  state->slots[1].pid = 200;
  state->slots[2].pid = 300;  // beyond proc_count
  int code = -1, exited = -1;
  EXPECT_EQ(decode_exit(200, 7 << 8, *state, code, exited), 1);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(exited, 1);
  code = exited = -1;
  CaptureStdout();
  EXPECT_EQ(decode_exit(300, 9, *state, code, exited), 2);
  EXPECT_EQ(GetCapturedStdout(), "No such pid(300) for reexec\n");
  EXPECT_EQ(code, -1);
}

TEST(SegvBackoff, GrowsOnceForAllSlots) {
  auto state = std::make_unique<supervisor_state>();
  for (unsigned want : {60u, 660u, 1260u, 7200u, 7200u, 7200u})
    EXPECT_EQ(segv_backoff(*state), want);
  EXPECT_EQ(state->segv_restarts, 6u);
}

// The exit-code protocol, row by row as the README's table lists it.
TEST(ExitProtocol, MirrorsTheReadmeTable) {
  using A = end_action;
  struct {
    child_end end;  // code, exited, killed_by_checker
    A action;
    int code;
  } rows[] = {
      {{0, 1, 0}, A::restart, 0},  // any status not listed below, 0 included
      {{3, 1, 0}, A::restart, 3},
      {{128, 1, 0}, A::restart, 128},
      {{133, 1, 0}, A::restart, 133},
      {{255, 1, 0}, A::restart, 255},
      {{11, 1, 0}, A::restart, 11},  // an exit status of 11 is no segfault
      {{15, 0, 0}, A::restart, 15},  // a signal
      {{9, 0, 0}, A::restart, 9},    // 9 from elsewhere
      {{11, 0, 0}, A::restart_after_segv, 11},
      {{11, 0, 1}, A::restart_after_segv, 11},
      {{9, 0, 1}, A::restart, 199},  // killed by the liveness checker
      {{9, 1, 1}, A::restart, 199},  // an exit with 9 while marked reads the same
      {{3, 1, 1}, A::restart, 3},
      {{129, 1, 0}, A::fall_back, 129},
      {{130, 1, 0}, A::upgrade, 130},
      {{131, 1, 0}, A::upgrade, 131},
      {{132, 1, 0}, A::upgrade, 132},
      {{160, 1, 0}, A::new_cycle, 160},
  };
  for (const auto& row : rows) {
    end_decision got = decide_end(row.end);
    EXPECT_EQ(got.action, row.action) << row.end.code << "/" << row.end.exited;
    EXPECT_EQ(got.code, row.code) << row.end.code << "/" << row.end.exited;
  }
}
