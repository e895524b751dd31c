// SPDX-License-Identifier: MIT
// The real daemon supervising fixture children: command lines, the exit-code
// protocol, the run-file log and what reaches standard output.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "harness.hpp"

namespace {

const std::string kDataOpts = " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21";
const std::string kDataRecord = R"({"version":"1.0.12.3","plugindata":1})";

// The child's descriptors, without the one that the time-scaling library opens itself.
std::vector<int> open_fds(pid_t pid) {
  std::vector<int> fds;
  std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(dir_path.c_str())) {
    while (dirent* e = readdir(dir)) {
      char target[256] = "";
      ssize_t n = readlink((dir_path + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (e->d_name[0] != '.' && (n < 0 || !strstr(target, "/faketime_shm_")))
        fds.push_back(atoi(e->d_name));
    }
    closedir(dir);
  }
  std::sort(fds.begin(), fds.end());
  return fds;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

}  // namespace

TEST(Flow, ChildCommandLines) {
  // In the expected lines P is the executed path and N the child's name.
  struct Row {
    std::vector<std::string> args;
    bool excheck, data, long_name;
    const char* plan;
    std::string first, second;
  };
  const std::string alive = " -A /tmp/.uci//N.alive";
  const Row rows[] = {
      {{}, false, false, false, "exit 0\nstay\n", "P", "P"},
      {{"x"}, true, false, false, "exit 3\nbeat 30 0\n", "P -d" + alive, "P -r 3 -d" + alive},
      {{""}, false, true, false, "signal 15\nstay\n", "P -d" + kDataOpts, "P -r 15 -d" + kDataOpts},
      // The heartbeat path and the data-directory path are both longer than 255.
      {{},
       true,
       true,
       true,
       "exit 3\nbeat 30 0\n",
       "P" + alive + kDataOpts,
       "P -r 3" + alive + kDataOpts},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.second);
    Sandbox box;
    std::string kid = box.child("cmd", row.data);
    if (row.long_name) {  // unique in its first 15 characters, 249 in all
      kid += std::string(249 - kid.size(), 'L');
      auto install = [&](const std::string& dir) {
        Sandbox::write(dir + "/" + kid, Sandbox::read(MINDER_FIXTURE));
        chmod((dir + "/" + kid).c_str(), 0755);
      };
      install(box.prog);
      if (row.data) install(box.data);
      box.children.push_back(kid);
    }
    box.config(config_for({kid}, row.excheck));
    box.plan(kid, row.plan);
    if (row.data) Sandbox::write(box.data + "/.bootchk", kDataRecord);
    box.start(row.args);
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; }));
    std::string path = row.data ? "../data//" + kid : kid;
    for (size_t i = 0; i < 2; ++i)
      EXPECT_EQ(box.args_at(kid, i),
                path + replace_all((i ? row.second : row.first).substr(1), "N", kid));
    // Only standard input, output and error reach the child.
    pid_t pid = box.last_pid(kid);
    EXPECT_TRUE(eventually(
        [&] {
          return open_fds(pid) == std::vector<int>{0, 1, 2};
        },
        5))
        << ::testing::PrintToString(open_fds(pid));
  }
}

TEST(Flow, EndsAreLoggedAndRestartedWithTheirCode) {
  struct Row {
    const char* plan;
    const char* logged;   // the run-file text after the name
    const char* restart;  // options of the restarted child
  };
  const Row rows[] = {{"exit 0\nstay\n", "exited normally with code(0)", ""},
                      {"exit 3\nstay\n", "exited normally with code(3)", " -r 3"},
                      {"signal 15\nstay\n", "killed by signal(15)", " -r 15"}};
  Sandbox box;
  std::vector<std::string> kids;
  for (const Row& row : rows) {
    kids.push_back(box.child("end"));
    box.plan(kids.back(), row.plan);
  }
  box.config(config_for(kids));
  box.start();
  ASSERT_TRUE(eventually([&] {
    return std::all_of(kids.begin(), kids.end(),
                       [&](auto& k) { return box.starts(k).size() == 2; });
  }));
  const std::string log = box.run_file();
  for (size_t i = 0; i < kids.size(); ++i) {
    EXPECT_EQ(box.last_args(kids[i]), kids[i] + rows[i].restart);
    std::regex line(
        "\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: " +
        kids[i] + " " + replace_all(replace_all(rows[i].logged, "(", "\\("), ")", "\\)") + "\n");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
  }
  EXPECT_EQ(count_of(log, "\n"), 4);
  EXPECT_EQ(count_of(box.out(), "Will restart normal prog after 10 secs\n"), 3);
}

TEST(Flow, SegfaultBackOffIsSharedBySlotsAndCycles) {
  Sandbox box;
  std::string a = box.child("segva"), b = box.child("segvb");
  box.config(config_for({a, b}));
  // a crashes twice and asks for a new cycle; b crashes twice in that cycle.
  box.plan(a, "sleep 3000 signal 11\nsignal 11\nexit 160\nstay\n");
  box.plan(b, "stay\nsignal 11\nsignal 11\nstay\n");
  box.start({}, 10000);
  ASSERT_TRUE(eventually([&] { return box.starts(a).size() == 4 && box.starts(b).size() == 4; }));
  std::string out = box.out();
  size_t at = 0;
  for (int secs : {60, 660, 1260, 7200}) {
    at = out.find("Will restart segv prog after " + std::to_string(secs) + " secs\n", at);
    EXPECT_NE(at, std::string::npos) << secs << " in\n" << out;
  }
  EXPECT_EQ(count_of(box.run_file(), "killed by signal(11)\n"), 4);
  EXPECT_EQ(box.last_args(a), a + " -r 160");
  EXPECT_EQ(box.last_args(b), b + " -r 11");
}

TEST(Flow, NewCycleRestartsEveryChild) {
  Sandbox box;
  std::vector<std::string> kids;
  for (int i = 0; i < 4; ++i) kids.push_back(box.child("cyc"));
  box.config(config_for(kids));
  // The second start ends normally later, so that the daemon's output is flushed.
  box.plan(kids[0], "sleep 50 exit 160\nsleep 20 exit 0\nstay\n");
  box.start();
  for (const auto& k : kids)
    EXPECT_TRUE(eventually([&] { return box.last_args(k) == k + " -r 160"; })) << k;
  // The three siblings killed at the new cycle belong to no slot.
  EXPECT_TRUE(eventually([&] { return box.starts(kids[0]).size() == 3; }));
  EXPECT_EQ(count_of(box.out(), "No such pid("), 3) << box.out();
}

// Processes under the configured names from before the daemon are all dead
// before its first child starts. A stand-in killall holds each kill command
// until all four have begun (at most 10 s), and notes a child started before
// its kill ended.
TEST(Flow, EverythingNamedIsDeadBeforeAnyChildStarts) {
  Sandbox box;
  std::vector<std::string> kids;
  std::vector<pid_t> leftovers;
  for (int i = 0; i < 4; ++i) {
    kids.push_back(box.child("left"));
    std::string path = box.prog + "/" + kids.back();
    pid_t pid = fork();
    if (pid == 0) {  // its log goes to the root, not the program directory
      if (chdir(box.root.c_str()) == 0) execl(path.c_str(), path.c_str(), nullptr);
      _exit(127);
    }
    leftovers.push_back(pid);
    ASSERT_TRUE(eventually([&] { return Sandbox::exists(box.root + "/" + kids.back() + ".log"); }));
  }
  box.config(config_for(kids));
  const std::string bin = box.root + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const char* killall = R"sh(#!/bin/sh
echo "$2" >>ROOT/begun
i=0
while [ "$(wc -l <ROOT/begun)" -lt 4 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
PATH=${PATH#*:} killall "$@"
ls PROG | grep -q '[.]log$' && i=late
echo "$2 $i" >>ROOT/ended
)sh";
  Sandbox::write(bin + "/killall",
                 replace_all(replace_all(killall, "ROOT", box.root), "PROG", box.prog));
  ASSERT_EQ(chmod((bin + "/killall").c_str(), 0755), 0);
  const std::string path = getenv("PATH");
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  box.start({}, 1);
  setenv("PATH", path.c_str(), 1);
  for (const auto& k : kids) EXPECT_TRUE(eventually([&] { return box.starts(k).size() == 1; }));
  std::istringstream ended(Sandbox::read(box.root + "/ended"));
  int together = 0;
  for (std::string name, waited; ended >> name >> waited;)
    together += waited != "late" && waited != "100";
  EXPECT_EQ(together, 4) << Sandbox::read(box.root + "/ended");
  for (pid_t pid : leftovers) {
    EXPECT_FALSE(process_alive(pid));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

TEST(Flow, ProgramThatCannotStartFallsBackThenEnds) {
  struct Row {
    const char* record;  // none, or a record that does not select data mode
    size_t cycles;
  };
  for (Row row : {Row{nullptr, 1}, Row{"not json", 2}, Row{"{}", 2},
                  Row{R"({"version":"1.0.12.3","plugindata":2})", 2}}) {
    SCOPED_TRACE(row.record ? row.record : "(no record)");
    Sandbox box;
    std::string good = box.child("good"), bad = box.child("bad");
    box.config(config_for({good, bad}));
    box.plan(bad, "sleep 50 exit 129\n");
    if (row.record) Sandbox::write(box.data + "/.bootchk", row.record);
    box.start();
    EXPECT_EQ(box.wait_exit(), 0);
    EXPECT_EQ(box.starts(bad).size(), row.cycles);
    EXPECT_EQ(box.last_args(good), good + (row.cycles == 2 ? " -r 129" : ""));
    EXPECT_EQ(count_of(box.out(), "failed boot, then clean bootchk, and try again\n"),
              row.cycles - 1);
    EXPECT_EQ(count_of(box.out(), "failed for normal boot, exit\n"), 1);
    EXPECT_FALSE(Sandbox::exists(box.data + "/.bootchk"));
    // Children die with the daemon.
    EXPECT_TRUE(eventually([&] { return !process_alive(box.last_pid(good)); }, 10));
  }
}

TEST(Flow, DataModeProgramThatCannotStartFallsBackToShippedPrograms) {
  // The upgrade lacks one program: it cannot be executed from the data directory.
  Sandbox box;
  std::string broken = box.child("broken"), other = box.child("other", true);
  box.config(config_for({broken, other}));
  Sandbox::write(box.data + "/.bootchk", kDataRecord);
  box.start();
  EXPECT_TRUE(eventually([&] { return box.last_args(broken) == broken + " -r 129"; }));
  EXPECT_TRUE(eventually([&] { return box.last_args(other) == other + " -r 129"; }));
  EXPECT_EQ(box.args_at(broken, 0), broken + " -r 129");
  EXPECT_FALSE(Sandbox::exists(box.data + "/.bootchk"));
  EXPECT_EQ(box.out().find("failed to exec ../data//" + broken +
                           ", error is No such file or directory\n"
                           "failed boot, then clean bootchk, and try again\n"),
            0u);
}

TEST(Flow, NameWithShellMetacharactersRunsNothingElse) {
  Sandbox box;
  std::string evil = "x" + box.name + ";touch PWNED1;$(touch PWNED2)`touch PWNED3` 'q\" b";
  box.config(config_for({replace_all(evil, "\"", "\\\"")}));
  box.start();
  EXPECT_EQ(box.wait_exit(), 0);
  EXPECT_EQ(box.out(), "failed to exec " + evil +
                           ", error is No such file or directory\nfailed for normal boot, exit\n");
  for (const auto& dir : {box.prog, box.root})
    for (const char* file : {"PWNED1", "PWNED2", "PWNED3"})
      EXPECT_FALSE(Sandbox::exists(dir + "/" + file)) << dir << "/" << file;
}

TEST(Flow, OutputToAFileHoldsEachLineOnce) {
  {  // a program that is not there at all
    Sandbox box;
    std::string gone = "../x" + box.name;
    box.config(config_for({gone}));
    box.start();
    EXPECT_EQ(box.wait_exit(), 0);
    EXPECT_EQ(box.out(),
              "failed to exec " + gone +
                  ", error is No such file or directory\nfailed for normal boot, exit\n");
  }
  {  // in real time: the message is there during the delay, not only after it
    Sandbox box;
    std::string kid = box.child("slow");
    box.config(config_for({kid}));
    box.plan(kid, "exit 1\nstay\n");
    box.start({}, 1);
    EXPECT_TRUE(
        eventually([&] { return box.out() == "Will restart normal prog after 10 secs\n"; }, 5));
    EXPECT_EQ(box.starts(kid).size(), 1u);
  }
  {  // a program removed while it runs; a record gives the daemon a second cycle
    Sandbox box;
    std::string kid = box.child("gone");
    box.config(config_for({kid}));
    box.plan(kid, "sleep 50 exit 3\n");
    Sandbox::write(box.data + "/.bootchk", "{}");
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 1; }));
    ASSERT_EQ(unlink((box.prog + "/" + kid).c_str()), 0);
    EXPECT_EQ(box.wait_exit(), 0);
    std::string failed = "failed to exec " + kid + ", error is No such file or directory\n";
    EXPECT_EQ(box.out(), "Will restart normal prog after 10 secs\n" + failed +
                             "failed boot, then clean bootchk, and try again\n" + failed +
                             "failed for normal boot, exit\n");
  }
}
