// SPDX-License-Identifier: MIT
// The liveness checker seen from outside: heartbeat files, kills of hung
// children and their restart with 199. The daemon runs 100 times faster than
// real time, so one check (120 s) takes 1.2 s.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "harness.hpp"

namespace {

constexpr int kSpeed = 100;
constexpr size_t npos = std::string::npos;

std::string heartbeat(const std::string& child) {
  return "/tmp/.uci//" + child + ".alive";
}
std::string hung_line(const std::string& child) {
  return child + " is not alive, and we will kill it.\n";
}

// A processes element; excheck is the member text after "excheck": or empty.
std::string slot(const std::string& child, const std::string& excheck = "true") {
  std::string json = R"({"base":")" + child + R"(")";
  if (!excheck.empty()) json += R"(,"excheck":)" + excheck;
  return json + "}";
}

std::string config(const std::vector<std::string>& slots) {
  std::string list;
  for (const auto& s : slots) list += (list.empty() ? "" : ",") + s;
  return R"({"__watch":{"processes":[)" + list + "]}}";
}

// Where the text first appears in the run file; npos when it does not.
size_t at(const Sandbox& box, const std::string& text) {
  return box.run_file().find(text);
}

}  // namespace

// never: no heartbeat file at all; once: one file at start-up, which the first
// check deletes. Slot order puts once first, so a kill of both in one pass
// would log once first. clock ends 420 s after its start, between the third
// and the fourth check (children start a little after the checker).
TEST(AliveFlow, HungChildKilledAtThirdCheckAndRestartedWith199) {
  Sandbox box;
  std::string once = box.child("once");
  std::string never = box.child("never");
  std::string clock = box.child("clock");
  box.plan(once, "touch\n");
  box.plan(clock, "sleep 420 exit 5\n");
  box.config(config({slot(once), slot(never), slot(clock, "")}));
  auto t0 = std::chrono::steady_clock::now();
  box.start({}, kSpeed);

  ASSERT_TRUE(eventually([&] { return at(box, hung_line(never)) != npos; }));
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
  EXPECT_GT(took.count(), 300.0 / kSpeed) << "killed before the third check";
  ASSERT_TRUE(eventually([&] { return at(box, clock + " exited normally with code(5)") != npos; }));
  EXPECT_LT(at(box, hung_line(never)), at(box, clock + " exited")) << "killed after check 3";
  ASSERT_TRUE(eventually([&] { return box.starts(never).size() >= 2; }));
  EXPECT_EQ(box.args_at(never, 1), never + " -r 199 -A " + heartbeat(never));

  ASSERT_TRUE(eventually([&] { return at(box, hung_line(once)) != npos; }));
  ASSERT_TRUE(eventually([&] { return box.starts(once).size() >= 2; }));
  EXPECT_EQ(box.last_args(once), once + " -r 199 -A " + heartbeat(once));
  EXPECT_LT(at(box, hung_line(never)), at(box, hung_line(once)))
      << "once was killed before its fourth check";

  // Each kill is logged as an end by signal 9, after the checker's line.
  std::string run = box.run_file();
  for (const auto& c : {never, once}) {
    std::smatch m;
    std::regex end("\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}: " + c +
                   " killed by signal\\(9\\)\n");
    ASSERT_TRUE(std::regex_search(run, m, end)) << run;
    EXPECT_GT(static_cast<size_t>(m.position(0)), run.find(hung_line(c)));
  }
  EXPECT_TRUE(eventually(
      [&] { return box.out().find("Will restart normal prog after 10 secs\n") != npos; }));
}

// beat60 and beat300 recreate their files every 60 and 300 s; the sentinel
// never does and is killed at every third check, which counts the checks.
TEST(AliveFlow, RegularHeartbeatsSurviveTenChecks) {
  Sandbox box;
  std::string beat60 = box.child("beat60");
  std::string beat300 = box.child("beat300");
  std::string sentinel = box.child("sentinel");
  box.plan(beat60, "beat 60 0\n");
  box.plan(beat300, "beat 300 0\n");
  box.config(config({slot(beat60), slot(beat300), slot(sentinel)}));
  box.start({}, kSpeed);

  ASSERT_TRUE(eventually([&] { return count_of(box.run_file(), hung_line(sentinel)) >= 4; }, 90))
      << box.run_file();
  for (const auto& c : {beat60, beat300}) {
    SCOPED_TRACE(c);
    EXPECT_EQ(box.starts(c).size(), 1u);
    EXPECT_TRUE(process_alive(box.last_pid(c)));
    EXPECT_EQ(at(box, c + " is not alive"), npos);
    EXPECT_EQ(at(box, c + " killed"), npos);
  }
}

// The first run of carry misses one check, exits with 3 and is restarted; the
// count goes on, so it is killed in the same pass as never, which started
// with it and missed three checks. A fresh count would kill carry a pass later.
TEST(AliveFlow, MissesCarryOverAnOrdinaryRestart) {
  Sandbox box;
  std::string carry = box.child("carry");
  std::string never = box.child("never");
  box.plan(carry, "sleep 130 exit 3\nstay\n");
  box.config(config({slot(carry), slot(never)}));
  box.start({}, kSpeed);

  ASSERT_TRUE(eventually([&] { return at(box, hung_line(never)) != npos; }));
  ASSERT_TRUE(eventually([&] { return at(box, hung_line(carry)) != npos; }));
  EXPECT_LT(at(box, hung_line(carry)), at(box, hung_line(never))) << box.run_file();
  ASSERT_TRUE(eventually([&] { return box.starts(carry).size() >= 3; }));
  std::string alive = " -A " + heartbeat(carry);
  EXPECT_EQ(box.args_at(carry, 1), carry + " -r 3" + alive);
  EXPECT_EQ(box.last_args(carry), carry + " -r 199" + alive);
}

// Without a watched slot nothing deletes heartbeat files, also not for
// excheck values other than the literal true. Each child ends every 125 s, so
// its fourth end shows that more than four checks' time went by.
TEST(AliveFlow, UnwatchedHeartbeatFilesStay) {
  Sandbox box;
  std::vector<std::string> kids;
  std::vector<std::string> slots;
  for (const char* excheck : {"", "1", R"("true")", "false"}) {
    kids.push_back(box.child("unwatched"));
    slots.push_back(slot(kids.back(), excheck));
    box.plan(kids.back(), "sleep 125 exit 1\n");
    Sandbox::write(heartbeat(kids.back()), "");
  }
  box.config(config(slots));
  box.start({}, kSpeed);

  ASSERT_TRUE(eventually(
      [&] { return count_of(box.run_file(), kids[0] + " exited normally with code(1)") >= 4; },
      60));
  for (const auto& c : kids) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(Sandbox::exists(heartbeat(c)));
    EXPECT_EQ(box.last_args(c), c + " -r 1");
  }
}

// The checker's kill command, held up here by a slow killall, must not change
// what a child started meanwhile by the main thread inherits: other starts at
// 430 s, while the kill of hung that began at 360 s is still running. The
// daemon ignores what this test program ignores.
TEST(AliveFlow, ChildStartedDuringAKillIgnoresNoSignal) {
  Sandbox box;
  std::string hung = box.child("hung");
  std::string other = box.child("other");
  box.plan(other, "sleep 420 exit 1\nstay\n");
  box.config(config({slot(hung), slot(other, "")}));
  const std::string bin = box.root + "/bin", armed = box.root + "/armed";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  Sandbox::write(bin + "/killall", "#!/bin/sh\n[ -e " + armed +
                                       " ] && sleep 600\nPATH=${PATH#*:} exec killall \"$@\"\n");
  ASSERT_EQ(chmod((bin + "/killall").c_str(), 0755), 0);
  const std::string path = getenv("PATH");
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  box.start({}, kSpeed);
  setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(eventually([&] { return box.starts(hung).size() + box.starts(other).size() == 2; }));
  Sandbox::write(armed, "");

  ASSERT_TRUE(eventually([&] { return box.starts(other).size() == 2; }));
  ASSERT_NE(at(box, hung_line(hung)), npos);
  auto int_quit_ignored = [](const std::string& pid) {  // bits of SIGINT (2) and SIGQUIT (3)
    std::string status = Sandbox::read("/proc/" + pid + "/status");
    return strtoull(status.c_str() + status.find("SigIgn:") + 7, nullptr, 16) & 6;
  };
  EXPECT_EQ(int_quit_ignored(std::to_string(box.last_pid(other))), int_quit_ignored("self"));
}
