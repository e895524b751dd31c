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
  // A tool that blocks fails the test, with status 124, instead of holding it up.
  std::string cmd = "timeout 60 " + std::string(MINDER_TOOL) + " " + args + " 2>&1";
  result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A tar member with a GNU header, owner 0:0 (fields left empty read as 0). A
// sparse one ('S') holds body as the first bytes of 65536.
std::string member(const std::string& name, unsigned mode, char type,
                   const std::string& body = "") {
  std::string h(512, '\0');
  auto put = [&](size_t at, int digits, size_t v) {
    char field[24];
    snprintf(field, sizeof field, "%0*zo", digits, v);
    h.replace(at, static_cast<size_t>(digits), field);
  };
  h.replace(0, name.size(), name);
  put(100, 7, mode);
  put(124, 11, body.size());
  h[156] = type;
  h.replace(257, 7, "ustar  ");
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

// The start of a 32-bit ARM program, dynamically linked with interp.
std::string arm_program(const std::string& interp) {
  std::string e(84, '\0');
  auto put = [&](size_t at, size_t v) {
    for (size_t i = 0; i < 4; ++i) e[at + i] = static_cast<char>(v >> 8 * i);
  };
  e.replace(0, 7, "\177ELF\1\1\1");
  put(16, 2 | 40 << 16);  // an executable for ARM,
  put(28, 52);            // program headers at 52:
  put(42, 32 | 1 << 16);  // one of 32 bytes,
  put(52, 3);             // PT_INTERP, with interp at 84
  put(56, 84);
  put(68, interp.size() + 1);
  return e + interp + '\0';
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
  // The fixture is built for the host's C library; alien is still there.
  r = tool("check " + box.prog + " --daemon " + box.name + " --libc glibc");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has(box.prog + "/config: the daemon would start " + ok)) << r.out;
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
      {{"its CRC does not match the data"}, file, "", 8},
      {{"its length field does not match the data"}, file, "", 4},
      {{"garbage after the gzip stream"}, file, "", 0, "junk"},
      {{"nothing found"}, file, "", 0, std::string(512, '\0')},
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
