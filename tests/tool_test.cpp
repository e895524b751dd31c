// minder-tool, black box: its findings on broken program directories and
// packages, and a package it built, installed by the daemon.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

struct result {
  int status;
  std::string out;
  bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

result tool(const std::string& args) {
  std::string cmd = std::string(MINDER_TOOL) + " " + args + " 2>&1";
  result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

// The program directory holds the daemon's copy, so the board is this machine.
TEST(Tool, CheckFindsWhatWouldStopTheDaemon) {
  Sandbox box;
  std::string ok = box.child("ok");
  box.config("{\"__watch\":{\"processes\":[\n  {\"base\":\"" + ok + "\"},\n]}}");
  result r = tool("check " + box.prog);
  EXPECT_EQ(r.status, 1);
  std::string comma = std::to_string(ok.size() + 14);
  EXPECT_TRUE(r.has(box.prog + "/config:2:" + comma + ": JSON syntax error: a comma before ']'"))
      << r.out;

  // An ELF header for machine 0x1234, which no board here has.
  Sandbox::write(box.prog + "/alien", std::string("\177ELF\1\1\1", 7) + std::string(11, '\0') +
                                          std::string("\x34\x12", 2));
  chmod((box.prog + "/alien").c_str(), 0755);
  box.config(R"({"__watch":{"processes":[{"base":")" + ok +
             R"(","excheck":"true"},{"base":"gone"},{"base":"alien"}]}})");
  r = tool("check " + box.prog);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has("\"excheck\" is the string \"true\", not the literal true")) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/gone: missing")) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/alien: built for 32-bit machine 4660, the board is")) << r.out;

  box.config(config_for({ok}));
  r = tool("check " + box.prog);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/config: the daemon would start " + ok)) << r.out;
}

TEST(Tool, PackRefusesAPackageWithoutEveryChild) {
  Sandbox box;
  std::string a = box.child("a"), b = box.child("b");
  box.config(config_for({a, b}));
  std::string src = box.root + "/src", pkg = box.root + "/pkg.tgz";
  mkdir(src.c_str(), 0755);
  copy_exec(MINDER_FIXTURE, src + "/" + a);
  result r = tool("pack " + src + " -o " + pkg + " --config " + box.prog + "/config");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has(src + "/" + b + ": missing configured child")) << r.out;
  EXPECT_FALSE(Sandbox::exists(pkg));
}

TEST(Tool, InspectFlagsTheDataDirectoryEntryAndDotDot) {
  Sandbox box;
  std::string src = box.root + "/src", pkg = box.root + "/pkg.tgz";
  mkdir(src.c_str(), 0700);
  Sandbox::write(src + "/notes", "x");
  Sandbox::write(box.root + "/outside", "x");
  // What a plain "tar -czf pkg.tgz -C dir ." gives, and a path that climbs out.
  std::string cmd = "tar -czPf " + pkg + " -C " + src + " . ../outside";
  ASSERT_EQ(system(cmd.c_str()), 0);
  result r = tool("inspect " + pkg);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has(pkg + ": ./: the entry for the data directory itself: tar sets ../data/ to "
                          "mode 0700"))
      << r.out;
  EXPECT_TRUE(r.has(pkg + ": ../outside: a \"..\" in the path")) << r.out;
  EXPECT_FALSE(r.has(pkg + ": ./notes: ")) << r.out;
}

TEST(Tool, PackedUpgradeRunsInDataMode) {
  Sandbox box;
  std::string asker = box.child("ask"), other = box.child("other");
  box.config(config_for({asker, other}));
  box.plan(asker, "sleep 50 exit 130\nstay\n");
  std::string src = box.root + "/src", pkg = "/tmp/.uci//qvupgrade.tgz";
  mkdir(src.c_str(), 0700);
  for (const auto& kid : {asker, other}) copy_exec(MINDER_FIXTURE, src + "/" + kid);
  mkdir("/tmp/.uci", 0777);
  result r = tool("pack " + src + " -o " + pkg + " --config " + box.prog + "/config");
  ASSERT_EQ(r.status, 0) << r.out;
  r = tool("inspect " + pkg + " --config " + box.prog + "/config");
  EXPECT_EQ(r.status, 0) << r.out;

  box.start();
  for (const auto& kid : {asker, other}) {
    std::string want = "../data//" + kid + " -r 130 -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21";
    EXPECT_TRUE(eventually([&] { return box.last_args(kid) == want; })) << box.last_args(kid);
  }
  struct stat st {};
  EXPECT_EQ(stat(box.data.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);  // the package has no entry for ../data/ itself
  r = tool("record " + box.data);
  EXPECT_TRUE(r.has("plugindata 1: data mode")) << r.out;
}
