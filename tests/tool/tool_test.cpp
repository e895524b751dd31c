// SPDX-License-Identifier: MIT
// minder-tool, black box: its findings on broken program directories and
// packages, and a package it built, installed by the daemon.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config.hpp"
#include "harness.hpp"

namespace {

using result = command_result;

result tool(const std::string& args) {
  return run_command(std::string(MINDER_TOOL) + " " + args);
}

// A tar member with a GNU header, owner 0:0 (fields left empty read as 0) and
// the owner and group names given. A sparse one ('S') holds body as the first
// bytes of 65536; for a hard link ('1') body is the target.
std::string member(const std::string& name, unsigned mode, char type, std::string body = "",
                   const std::string& user = "", const std::string& group = "") {
  std::string h(512, '\0');
  auto put = [&](size_t at, int digits, size_t v) {
    char field[24];
    snprintf(field, sizeof field, "%0*zo", digits, v);
    h.replace(at, static_cast<size_t>(digits), field);
  };
  h.replace(0, name.size(), name);
  put(100, 7, mode);
  if (type == '1') h.replace(157, body.size(), body);
  if (type == '1') body.clear();
  put(124, 11, body.size());
  h[156] = type;
  h.replace(257, 7, "ustar  ");
  h.replace(265, user.size(), user);
  h.replace(297, group.size(), group);
  if (type == 'S') {
    put(386, 11, 0);  // one run of data at 0, then holes
    put(398, 11, body.size());
    put(483, 11, 65536);
  }
  h.replace(148, 8, 8, ' ');
  size_t sum = 0;
  for (unsigned char c : h) sum += c;
  put(148, 6, sum);
  return h + body + std::string((512 - body.size() % 512) % 512, '\0');
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
  // A program larger than the tool reads, without its bytes on disk.
  Sandbox::write(box.prog + "/huge", "");
  ASSERT_EQ(truncate((box.prog + "/huge").c_str(), 257 << 20), 0);
  chmod((box.prog + "/huge").c_str(), 0755);
  box.config(R"({"__watch":{"processes":[{"base":")" + ok +
             R"(","excheck":"true"},{"base":"gone"},{"base":"alien"},{"base":"huge"}]}})");
  r = tool("check " + box.prog);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has("\"excheck\" is the string \"true\", not the literal true")) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/gone: missing")) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/alien: built for 32-bit machine 4660, the board is")) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/huge: cannot read it (larger than 256 MiB)")) << r.out;

  box.config(config_for({ok}));
  // The fixture is built for the host's C library; alien is still there.
  r = tool("check " + box.prog + " --daemon " + box.name + " --libc glibc");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/config: the daemon would start " + ok)) << r.out;
  // The daemon's own build tells the C library (the fixture's, glibc, stands
  // in for the daemon, which may be a musl build); each good child gets its line.
  copy_exec(MINDER_FIXTURE, box.prog + "/glibc-daemon");
  r = tool("check " + box.prog + " --daemon glibc-daemon");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has(", C library glibc (its build)")) << r.out;
  EXPECT_EQ(
      count_of(r.out, box.prog + "/" + ok + ": built for 64-bit x86-64, dynamically linked (/"), 1)
      << r.out;
  EXPECT_TRUE(r.has("): the board runs it\n")) << r.out;
}

// The tool's version and the record's, and the version a daemon binary
// carries: this build's, one whose mark crosses a 64 KiB read, and none.
TEST(Tool, TellsTheVersions) {
  result r = tool("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "minder-tool " MINDER_VERSION " (boot-check record version 1.0.12.3)\n");

  Sandbox box;
  box.config(config_for({box.child("kid")}));
  r = tool("check " + box.prog);
  EXPECT_TRUE(r.has(box.prog + "/" + box.name + ": the daemon (minder " MINDER_VERSION "): "))
      << r.out;
  std::string head = arm_program("/lib/ld-musl-armhf.so.1") + std::string("minder version \0", 16);
  Sandbox::write(box.prog + "/far", head + std::string(65530 - head.size(), 'x') +
                                        std::string("minder version 9.8.7-rc1\0", 25));
  r = tool("check " + box.prog + " --daemon far");
  EXPECT_TRUE(r.has(box.prog + "/far: the daemon (minder 9.8.7-rc1): the board is 32-bit"))
      << r.out;
  copy_exec(MINDER_FIXTURE, box.prog + "/plain");
  r = tool("check " + box.prog + " --daemon plain");
  EXPECT_TRUE(r.has(box.prog + "/plain: the daemon (no minder version in it): ")) << r.out;
}

TEST(Tool, PackRefusesAPackageWithoutEveryChild) {
  Sandbox box;
  std::string a = box.child("a"), b = box.child("b");
  box.config(config_for({a, b}));
  std::string src = box.root + "/src", pkg = box.root + "/pkg.tgz";
  mkdir(src.c_str(), 0755);
  copy_exec(MINDER_FIXTURE, src + "/" + a);
  mkdir((src + "/.bootchk").c_str(), 0755);
  result r = tool("pack " + src + " -o " + pkg + " --config " + box.prog + "/config");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.has(src + "/" + b + ": missing configured child")) << r.out;
  EXPECT_TRUE(r.has(src + "/.bootchk: in ../data/ this is the boot-check record")) << r.out;
  EXPECT_FALSE(Sandbox::exists(pkg));
}

// What the daemon never reads from ../data/: a config, a program no child
// names; and pack without a board says its programs went unchecked.
TEST(Tool, PackAndInspectFlagWhatTheDaemonNeverReads) {
  Sandbox box;
  std::string kid = box.child("kid");
  box.config(config_for({kid}));
  std::string src = box.root + "/src", pkg = box.root + "/pkg.tgz", cfg = box.prog + "/config";
  mkdir(src.c_str(), 0755);
  copy_exec(MINDER_FIXTURE, src + "/" + kid);
  copy_exec(MINDER_FIXTURE, src + "/helper");
  result r = tool("pack " + src + " -o " + pkg);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has(src + ": its programs are not checked against a board")) << r.out;
  r = tool("inspect " + pkg + " --config " + cfg + " --libc glibc");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(pkg + ": helper: never started: no configured child is named helper")) << r.out;
  EXPECT_TRUE(r.has(pkg + ": 2 entries, 1 problem(s) found")) << r.out;
  r = tool("pack " + src + " -o " + pkg + ".2 --config " + cfg + " --libc glibc");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(src + "/helper: never started: no configured child is named helper")) << r.out;

  unlink((src + "/helper").c_str());
  Sandbox::write(src + "/config", config_for({kid, "more"}));
  const char* config =
      "config: minder reads config only from the program directory; this file changes nothing on "
      "the device";
  r = tool("pack " + src + " -o " + pkg + ".3 --arch x86-64 --libc glibc");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(src + "/" + config)) << r.out;
  EXPECT_TRUE(r.has(src + "/" + kid + ": built for 64-bit x86-64")) << r.out;
  EXPECT_FALSE(Sandbox::exists(pkg + ".3"));
  ASSERT_EQ(system(("tar -czf " + pkg + " -C " + src + " config " + kid).c_str()), 0);
  r = tool("inspect " + pkg);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(pkg + ": " + config)) << r.out;
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

// Packages the board's tar fails on or should not unpack, and children it cannot run.
TEST(Tool, InspectFlagsWhatTheBoardCannotUnpackOrRun) {
  Sandbox box;
  std::string cfg = box.root + "/cfg", pkg = box.root + "/p.tgz";
  mkdir(cfg.c_str(), 0755);
  Sandbox::write(cfg + "/config", config_for({"kid"}));
  copy_exec(MINDER_TOOL, cfg + "/minder-tool");  // no daemon beside it: the board is unknown
  std::string kid = " --config " + cfg + "/config", arm = kid + " --arch arm";
  std::string musl = member("kid", 0755, '0', arm_program("/lib/ld-musl-armhf.so.1"));
  std::string file = member("notes", 0644, '0', "x");
  struct row {
    std::vector<std::string> want;  // "nothing found" first: exit 0
    std::string tar, args = "";
    size_t spoil = 0;       // a byte to spoil, counted from the end (8: CRC, 4: length)
    std::string tail = "";  // bytes after the gzip stream
  } rows[] = {
      // Over an earlier upgrade the daemon's test refuses it; a part-way failure it lets by.
      {{"its CRC does not match the data",
        "over an earlier upgrade its test, tar -tzf, fails first and that upgrade runs on"},
       file,
       "",
       8},
      {{"its length field does not match the data"}, file, "", 4},
      {{"garbage after the gzip stream"}, file, "", 0, "junk"},
      {{"nothing found"}, file, "", 0, std::string(512, '\0')},
      {{"nothing found", "its programs are not checked against a board: give --config CONFIG"},
       musl},
      {{"holes: a sparse file"}, member("holes", 0644, 'S', std::string(512, 'x'))},
      {{"-rwsr-xr-x", "drwxrwxrwt", "su: mode 4755 has the set-user-ID", "tmp/: mode 1777"},
       member("su", 04755, '0') + member("tmp/", 01777, '5')},
      {{".bootchk/: .bootchk in ../data/ is the boot-check record",
        "init.bin.tmp: init.bin.tmp in ../data/ is the temporary file of the script blob"},
       member(".bootchk/", 0755, '5') + member("init.bin.tmp", 0644, '0')},
      {{"kid: dynamically linked with the program interpreter \"/lib/ld-linux-armhf.so.3\""},
       member("kid", 0755, '0', arm_program("/lib/ld-linux-armhf.so.3")),
       arm},
      {{"nothing found"}, musl, arm},
      {{"kid: an ELF program, and the board's architecture is unknown: give --arch"}, musl, kid},
      {{"kid: the #! line ends in a carriage return (CRLF line ends): the kernel looks for the "
        "interpreter \"/bin/sh\\r\""},
       member("kid", 0755, '0', "#!/bin/sh\r\nexit\r\n"),
       arm},
      // Without --config every program is judged; armel's loader is musl's soft-float one.
      {{"kid: dynamically linked with the program interpreter \"/lib/ld-musl-armhf.so.1\": the "
        "board's C library is musl for soft-float ARM, whose loader is /lib/ld-musl-arm.so.1"},
       musl,
       " --arch armel"},
      {{"notes: owner name \"nobody\"", "notes: group name \"nogroup\""},
       member("notes", 0644, '0', "x", "nobody", "nogroup")},
      {{"lib/x: lib is a file from an earlier entry: tar cannot make this entry below it and "
        "fails (GNU tar with exit 2, BusyBox tar with 1), and the daemon records the upgrade "
        "without plugindata\n"},
       file + member("lib", 0644, '0', "x") + member("lib/x", 0644, '0', "y")},
      {{"etc: a directory from an earlier entry: tar cannot put a file in its place"},
       member("etc/x", 0644, '0', "y") + member("etc", 0644, '0', "x")},
      {{"hrw-r--r-- 0/0          0 h", "crw-r--r--", "brw-r--r--", "prw-r--r--"},
       file + member("h", 0644, '1', "notes") + member("c", 0644, '3') + member("b", 0644, '4') +
           member("p", 0644, '6')},
  };
  for (const row& c : rows) {
    Sandbox::write(box.root + "/p.tar", c.tar + std::string(1024, '\0'));
    ASSERT_EQ(system(("gzip -c <" + box.root + "/p.tar >" + pkg).c_str()), 0);
    std::string bytes = Sandbox::read(pkg);
    if (c.spoil) bytes[bytes.size() - c.spoil] ^= 1;
    Sandbox::write(pkg, bytes + c.tail);
    result r = tool("inspect " + pkg + c.args);
    EXPECT_EQ(r.status, c.want[0] == "nothing found" ? 0 : 1) << r.out;
    for (const std::string& text : c.want) EXPECT_TRUE(r.has(text)) << text << "\n" << r.out;
  }
}

// Children built by the ARM cross compilers, judged against the CPU of the
// daemon binary beside them or of --arch.
TEST(Tool, CheckJudgesChildrenByTheBoardsCpu) {
  std::string arm = MINDER_ARM_CHILDREN;
  if (arm.empty()) GTEST_SKIP() << "no ARM cross compilers (gcc-arm-linux-gnueabi{,hf})";
  Sandbox box;
  const char* dies =
      "it may die of an illegal instruction wherever its code uses one the board lacks "
      "(minder-tool rehearse runs it on the board's CPU) and is restarted every 10 s; "
      "the fallback does not run";
  struct row {
    std::string daemon, kid, args, want;  // want empty: nothing found
  } rows[] = {
      {"armel", "armhf", "",
       "kid: built for ARMv7-A (VFPv3-D16, hard-float), the board is ARMv5TE (soft-float): " +
           std::string(dies)},
      {"armhf", "armhf", " --arch armel",
       "the board is ARMv5TE (soft-float): " + std::string(dies)},
      {"armel", "armel-vfp", "",
       "kid: built for VFPv2 floating point, the board has no FPU: it dies of an illegal "
       "instruction at its first floating-point instruction"},
      {"armhf", "armel-dynamic", "",
       "kid: dynamically linked with the program interpreter \"/lib/ld-musl-arm.so.1\": the "
       "board's C library is musl for hard-float ARM, whose loader is /lib/ld-musl-armhf.so.1"},
      {"armhf", "armel", "", ""},
      {"armel", "armel-dynamic", "", ""},
      {"armel", "armhf", " --arch arm", ""},
  };
  std::string dir = box.root + "/bin";
  mkdir(dir.c_str(), 0755);
  Sandbox::write(dir + "/config", config_for({"kid"}));
  for (const row& c : rows) {
    copy_exec(arm + "/" + c.daemon, dir + "/minder");
    copy_exec(arm + "/" + c.kid, dir + "/kid");
    result r = tool("check " + dir + c.args);
    EXPECT_EQ(r.status, c.want.empty() ? 0 : 1) << r.out;
    EXPECT_TRUE(r.has(c.want)) << c.want << "\n" << r.out;
  }
  // The same child in a package for that program directory.
  copy_exec(arm + "/armel", dir + "/minder");
  std::string pkg = box.root + "/p.tgz";
  ASSERT_EQ(system(("tar -czf " + pkg + " -C " + dir + " kid").c_str()), 0);
  result r = tool("inspect " + pkg + " --config " + dir + "/config");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(pkg + ": kid: built for ARMv7-A (VFPv3-D16, hard-float)")) << r.out;
}

// What a failed or fallen-back upgrade left in the data directory.
TEST(Tool, RecordListsWhatAnUpgradeLeftBehind) {
  Sandbox box;
  // A 64-bit ARM program, a 32-bit one cut short in its interpreter's name,
  // and neither a program nor the script blob's record.
  std::string aarch64 = std::string("\177ELF\2\1\1", 7) + std::string(11, '\0') + "\xb7";
  Sandbox::write(box.data + "/uplink", aarch64 + std::string(64, '\0'));
  chmod((box.data + "/uplink").c_str(), 0755);
  Sandbox::write(box.data + "/half", arm_program("/lib/ld-musl-armhf.so.1").substr(0, 90));
  Sandbox::write(box.data + "/notes", "x");
  Sandbox::write(box.data + "/init.bin", "blob");
  const char* unused =
      ": an upgrade unpacked here and not in use: it failed, fell back or was never selected";
  struct row {
    std::string record, args;
    std::vector<std::string> want, not_want;
  } rows[] = {
      {"",
       "",
       {"/uplink" + std::string(unused), "/half" + std::string(unused),
        "init.bin: a script blob that the record does not list (no luadata)",
        box.data + ": its programs are not checked against a board"},
       {"notes"}},
      {R"({"version":"1.0.12.3","luadata":1})",
       " --arch armhf",
       {"uplink: built for 64-bit AArch64, the board is 32-bit ARM: execv fails",
        "half: cut short: its program headers or interpreter lie beyond its 90 bytes"},
       {"init.bin", "not checked against a board", "CPU"}},
      {R"({"version":"1.0.12.3","plugindata":1})",
       " --arch armhf",
       {"data mode", "init.bin: a script blob that the record does not list"},
       {"uplink"}},
  };
  for (const row& c : rows) {
    if (!c.record.empty()) Sandbox::write(box.data + "/.bootchk", c.record);
    result r = tool("record " + box.data + c.args);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const std::string& text : c.want) EXPECT_TRUE(r.has(text)) << text << "\n" << r.out;
    for (const std::string& text : c.not_want) EXPECT_FALSE(r.has(text)) << text << "\n" << r.out;
  }
}

// Inputs that would hold the tool up or lead it astray.
TEST(Tool, NeverBlocksOnAFifoNorWritesThroughALink) {
  Sandbox box;
  mkfifo((box.prog + "/config").c_str(), 0644);
  mkfifo((box.data + "/.bootchk").c_str(), 0644);
  std::string src = box.root + "/src", out = box.root + "/p.tgz", victim = box.root + "/victim";
  mkdir(src.c_str(), 0755);
  Sandbox::write(src + "/notes", "x");
  Sandbox::write(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), (out + ".tmp").c_str()), 0);
  struct row {
    std::string args, want;
    int status;
  } rows[] = {
      {"check " + box.prog, box.prog + "/config: cannot read it (a FIFO, not a regular file)", 1},
      {"record " + box.data, ".bootchk: cannot read it (a FIFO, not a regular file)", 0},
      {"record " + box.root + "/gone", box.root + "/gone: cannot read it (No such file", 1},
      {"record " + victim, victim + ": not a directory", 1},
      {"pack " + src + " -o " + out, out + ": not written: " + out + ".tmp: File exists", 1},
  };
  for (const row& c : rows) {
    result r = tool(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_TRUE(r.has(c.want)) << c.args << "\n" << r.out;
  }
  EXPECT_EQ(Sandbox::read(victim), "keep");
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
  std::string glibc = " --config " + box.prog + "/config --libc glibc";
  result r = tool("pack " + src + " -o " + pkg + glibc);
  ASSERT_EQ(r.status, 0) << r.out;
  r = tool("inspect " + pkg + glibc);
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

namespace {

// Well-formed XML that an SVG renderer draws.
bool renders(const std::string& svg) {
  std::string cmd = "xmllint --noout " + svg + " && rsvg-convert " + svg + " -o " + svg + ".png";
  return system(cmd.c_str()) == 0 && Sandbox::exists(svg + ".png");
}

}  // namespace

// Run files the daemon wrote: the summary names each cause and what minder
// did next, and the picture renders.
TEST(Tool, LogExplainsWhatTheDaemonWrote) {
  struct row {
    const char* plan;
    int status;
    bool watched, record;  // heartbeat checks; a data-mode record whose program is missing
    std::vector<std::string> want;
  } rows[] = {
      {"exit 3\nstay\n", 0, false, false, {"exit status 3; restart in 10 s with -r 3"}},
      {"signal 11\nstay\n", 0, false, false, {"segmentation fault (signal 11); restart in 60 s"}},
      {"stay\n",
       1,
       true,
       false,
       {"killed by the heartbeat checker (signal 9); restart in 10 s with -r 199",
        " (watched): 1 end", "killed by the heartbeat checker once"}},
      {"sleep 50 exit 130\nstay\n",
       0,
       false,
       false,
       {"exit 130, asks to unpack the upgrade package; unpack", "a new cycle with -r 130"}},
      {"sleep 50 exit 160\nstay\n", 0, false, false, {"new cycle: every child started again"}},
      {"stay\n",
       1,
       false,
       true,
       {"exit 129, cannot be started", "(fallback); standard output, line 1: failed to exec"}},
      {"sleep 50 exit 129\n", 1, false, false, {"no boot-check record was left to remove"}},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.want[0]);
    Sandbox box;
    std::string kid = box.child("log"), other = box.child("other", c.record);
    box.config(R"({"__watch":{"processes":[{"base":")" + kid + R"(","excheck":)" +
               (c.watched ? "true" : "false") + R"(},{"base":")" + other + R"("}]}})");
    box.plan(kid, c.plan);
    if (c.record)
      Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
    box.start({}, c.watched ? 1000 : 100);
    if (std::string(c.plan).find("129") != std::string::npos)
      EXPECT_EQ(box.wait_exit(), 0);
    else
      ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == (c.record ? 1u : 2u); }));
    std::string svg = box.root + "/log.svg";
    result r = tool("log " + box.run_path() + " --config " + box.prog + "/config --output " +
                    box.root + "/out --svg " + svg);
    EXPECT_EQ(r.status, c.status) << r.out;
    for (const std::string& text : c.want) EXPECT_TRUE(r.has(text)) << text << "\n" << r.out;
    EXPECT_TRUE(r.has(other + ": no end logged")) << r.out;
    EXPECT_TRUE(renders(svg));
  }
}

// A full run file keeps the picture small; what is no run file says so.
TEST(Tool, LogOfAFullOrForeignFile) {
  Sandbox box;
  std::string full = "/opt/app/bin\n";
  const char* ends[] = {"killed by signal(11)", "exited normally with code(3)",
                        "killed by signal(9)", "exited normally with code(160)"};
  for (int i = 0; full.size() < 1000000; ++i) {
    char line[160];
    snprintf(line, sizeof line, "Tue Dec  8 %02d:%02d:%02d 2026: %s %s\n", i / 3600 % 24,
             i / 60 % 60, i % 60, i % 7 ? "kid<&>" : "other", ends[i % 4]);
    if (i % 4 == 2 && i % 7) full += "kid<&> is not alive, and we will kill it.\n";
    full += line;
    if (i % 1000 == 0) full += std::string("\x01\xfe garbage\n");
  }
  Sandbox::write(box.root + "/full.run", full);
  Sandbox::write(box.root + "/empty.run", "");
  Sandbox::write(box.root + "/text", "#!/bin/sh\necho hello\n");
  std::string svg = box.root + "/full.svg";
  struct {
    std::string args, want;
    int status;
  } rows[] = {
      {"log " + box.root + "/full.run --svg " + svg, "crash loop: kid<&>", 1},
      {"log " + box.root + "/full.run --json", "\"cause\":\"heartbeat_kill\"", 1},
      {"log " + box.root + "/empty.run", "not a run file", 3},
      {"log " + box.root + "/text --timeline", "not a run file", 3},
      {"log " + box.root + "/gone.run", "gone.run: cannot read it", 3},
      {"log " + box.root + "/text --svg", "option without its value", 2},
      {"record " + box.data + " --json", "option not taken by this command", 2},
  };
  for (const auto& c : rows) {
    result r = tool(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_TRUE(r.has(c.want)) << c.args << "\n" << r.out.substr(0, 2000);
  }
  EXPECT_TRUE(renders(svg));
  EXPECT_LT(Sandbox::read(svg).size(), 200000u);
}

// A fleet's run files, given one by one or found in directories: JSON Lines
// with one object per file, in order, an error object for a file that cannot
// be read or is no run file; a summary by outcome and failing child; the exit
// status 3 when any file failed.
TEST(Tool, LogOfAFleet) {
  Sandbox box;
  auto at = [](int min, const std::string& rest) {
    char stamp[40];
    snprintf(stamp, sizeof stamp, "Tue Dec  8 14:%02d:00 2026: ", min);
    return stamp + rest + "\n";
  };
  std::string fleet = box.root + "/fleet";
  mkdir(fleet.c_str(), 0755);
  mkdir((fleet + "/b").c_str(), 0755);
  Sandbox::write(fleet + "/a1.run", "/opt/app/bin\n" + at(0, "up exited normally with code(130)") +
                                        at(30, "web exited normally with code(2)"));
  Sandbox::write(fleet + "/a1.out", "Will restart normal prog after 10 secs\n");
  Sandbox::write(fleet + "/a2.run", "/opt/app/bin\n" + at(0, "up exited normally with code(130)") +
                                        at(1, "col exited normally with code(129)") +
                                        at(9, "web killed by signal(4)"));
  std::string loop = "/opt/app/bin\n";
  for (int i = 0; i < 4; ++i) loop += at(i * 2, "col killed by signal(11)");
  Sandbox::write(fleet + "/b/a3.run", loop);
  Sandbox::write(fleet + "/b/junk.run", "#!/bin/sh\n");
  Sandbox::write(fleet + "/b/notes.txt", "not looked at\n");
  ASSERT_EQ(symlink("nowhere", (fleet + "/b/gone.run").c_str()), 0);

  result json = tool("log " + fleet + " --json");
  EXPECT_EQ(json.status, 3) << json.out;
  std::vector<json_ptr> lines;
  for (size_t at = 0, eol; (eol = json.out.find('\n', at)) != std::string::npos; at = eol + 1) {
    lines.emplace_back(cJSON_Parse(json.out.substr(at, eol - at).c_str()));
    ASSERT_TRUE(lines.back()) << json.out.substr(at, eol - at);
  }
  auto text = [&](size_t i, const char* key) {
    const char* s =
        i < lines.size() ? cJSON_GetStringValue(cJSON_GetObjectItem(lines[i].get(), key)) : nullptr;
    return std::string(s ? s : "-");
  };
  ASSERT_EQ(lines.size(), 5u) << json.out;
  const char* files[] = {"/a1.run", "/a2.run", "/b/a3.run", "/b/gone.run", "/b/junk.run"};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(text(i, "file"), fleet + files[i]);
  EXPECT_EQ(text(0, "output_file"), fleet + "/a1.out");
  EXPECT_EQ(text(0, "error") + text(2, "error"), "--");
  EXPECT_EQ(text(3, "error"), fleet + "/b/gone.run: cannot read it (No such file or directory)");
  EXPECT_EQ(text(4, "error").substr(0, 14), "not a run file");

  result summary = tool("log " + fleet + " --config " + box.prog + "/nothing");
  EXPECT_EQ(summary.status, 1);  // the config cannot be loaded
  summary = tool("log " + fleet);
  EXPECT_EQ(summary.status, 3);
  for (const char* want :
       {"fleet: 5 run files: 3 explained, 1 cannot be read, 1 not run files; 2 with warnings\n",
        "      1  upgrade taken\n", "      1  fell back to the shipped programs\n",
        "      1  crash loop\n", "      0  nothing notable\n",
        "  col: 5 failed ends on 2 devices, a crash loop on 1\n"})
    EXPECT_TRUE(summary.has(want)) << want << "\n" << summary.out;
  EXPECT_FALSE(summary.has("program directory:"));

  result each = tool("log " + fleet + "/a1.run " + fleet + "/a2.run --each");
  EXPECT_EQ(each.status, 1) << each.out;
  EXPECT_TRUE(each.has("== " + fleet + "/a1.run with " + fleet + "/a1.out ==\nprogram directory"))
      << each.out;
  EXPECT_TRUE(each.has("col cannot be started"));
  EXPECT_EQ(tool("log " + fleet + "/a1.run " + fleet + "/a2.run --svg x.svg").status, 2);
  EXPECT_EQ(tool("log " + fleet + " --output " + fleet + "/a1.out").status, 2);
}
