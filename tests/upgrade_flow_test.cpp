// SPDX-License-Identifier: MIT
// Upgrade requests through a child's exit status, with the real package path,
// and upgrades cut short by a kill or a power cut.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

const char kPackage[] = "/tmp/.uci//qvupgrade.tgz";
const std::string kNewVersion = "\n# new version\n";  // the package's programs end with it

// Where an upgrade of two children is cut short: its tar stops once it has
// tested the package, before it unpacks, after the first child or after both;
// "done": once the children of the new cycle run.
enum class Stage { test, before, part, whole, done };

// The program and data directories on an ext4 image of their own, which can
// lose power.
class Ext4Image {
 public:
  explicit Ext4Image(Sandbox& box) : image_(box.root + "/ext4.img"), dir_(box.root + "/ext4") {
    ok = private_mounts() && mkdir(dir_.c_str(), 0755) == 0 &&
         system(("mkfs.ext4 -q -F " + image_ + " 64M >/dev/null 2>&1").c_str()) == 0 &&
         mount_image();
    if (!ok) return;
    box.prog = dir_ + "/prog";
    box.data = dir_ + "/data";
    box.argv0 = box.prog + "/" + box.name;
    ok = mkdir(box.prog.c_str(), 0755) == 0 && mkdir(box.data.c_str(), 0755) == 0;
    copy_exec(MINDER_BIN, box.argv0);
  }
  ~Ext4Image() { umount2(dir_.c_str(), MNT_DETACH); }
  // Shuts the file system down without flushing its log, as a power cut
  // would. The log commits every few seconds: a new file synced first stands
  // for such a commit.
  void cut() const {
    int fd = open((dir_ + "/commit").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
    fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    uint32_t no_log_flush = 2;
    EXPECT_EQ(ioctl(fd, _IOR('X', 125, uint32_t), &no_log_flush), 0);  // EXT4_IOC_SHUTDOWN
    close(fd);
  }
  bool power_on() {
    return eventually([&] { return umount2(dir_.c_str(), 0) == 0; }) && mount_image();
  }
  bool ok = false;

 private:
  bool mount_image() {
    return system(("mount -o loop " + image_ + " " + dir_ + " 2>/dev/null").c_str()) == 0;
  }
  std::string image_, dir_;
};

// The upgrade package: the fixture under each name of kids, each followed by
// tail; the last one first grows by pad bytes.
void make_package(const Sandbox& box, const std::vector<std::string>& kids, const std::string& tail,
                  size_t pad = 0) {
  const std::string dir = box.root + "/package";
  mkdir(dir.c_str(), 0755);
  std::string names;
  for (const auto& kid : kids) {
    bool last = &kid == &kids.back();
    Sandbox::write(dir + "/" + kid,
                   Sandbox::read(MINDER_FIXTURE) + std::string(last ? pad : 0, 'x') + tail);
    chmod((dir + "/" + kid).c_str(), 0755);
    names += " " + kid;
  }
  ASSERT_EQ(system(("tar czf " + std::string(kPackage) + " -C " + dir + names).c_str()), 0);
}

// What start k of a and b runs: the "shipped" programs, or from the data
// directory the whole "earlier" or "new" set, or "a mix" (a program cut short
// counts as one).
std::string what_runs(const Sandbox& box, const std::string& a, const std::string& b, size_t k) {
  auto program = [](const std::string& args) { return args.substr(0, args.find(' ')); };
  std::string run_a = program(box.args_at(a, k)), run_b = program(box.args_at(b, k));
  if (run_a == a && run_b == b) return "shipped";
  auto set = [&](const std::string& kid) {
    std::string now = Sandbox::read(box.data + "/" + kid);
    if (now == Sandbox::read(MINDER_FIXTURE)) return "earlier";
    size_t n = kNewVersion.size();
    return now.size() >= n && now.compare(now.size() - n, n, kNewVersion) == 0 ? "new" : "a mix";
  };
  std::string set_a = set(a);
  bool data = run_a == "../data//" + a && run_b == "../data//" + b;
  return data && set_a == set(b) ? set_a : "a mix";
}

// An upgrade of a and b (a exits 130) over an earlier one when earlier, cut
// short at stage: the daemon and everything it started are killed there,
// after a power cut when image is given, and the daemon is started again.
// What it then starts: "shipped" programs, or from the data directory the
// "earlier" or the "new" set, or "a mix".
std::string interrupted_upgrade(Sandbox& box, Stage stage, bool earlier, Ext4Image* image) {
  std::string a = box.child("upa", earlier), b = box.child("upb", earlier);
  box.config(config_for({a, b}));
  box.plan(a, "exit 130\nstay\n");
  if (earlier) Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
  make_package(box, {a, b}, kNewVersion);
  if (image) sync();  // an earlier upgrade is long on disk
  // A tar first on PATH that stops where stage says, its pid in tar.pid.
  const std::string bin = box.root + "/bin", pid_file = box.root + "/tar.pid";
  const std::string unpack[] = {"tar \"$@\"", "true", "tar \"$@\" " + a, "tar \"$@\""};
  const std::string test = stage == Stage::test ? "" : "case $1 in -t*) exec tar \"$@\"; esac\n";
  const std::string path = getenv("PATH");
  if (stage != Stage::done) {
    mkdir(bin.c_str(), 0755);
    Sandbox::write(bin + "/tar", "#!/bin/sh\nPATH=${PATH#*:}\n" + test + unpack[int(stage)] +
                                     " && echo $$ >" + pid_file + ".tmp && mv " + pid_file +
                                     ".tmp " + pid_file + " && kill -STOP $$\n");
    chmod((bin + "/tar").c_str(), 0755);
    setenv("PATH", (bin + ":" + path).c_str(), 1);
  }
  box.start();
  setenv("PATH", path.c_str(), 1);
  pid_t tar = -1;
  EXPECT_TRUE(eventually([&] {
    if (stage == Stage::done) return box.last_args(b).find(" -r 130") != std::string::npos;
    tar = Sandbox::exists(pid_file) ? atoi(Sandbox::read(pid_file).c_str()) : -1;
    return tar > 0 && Sandbox::read("/proc/" + std::to_string(tar) + "/stat").find(") T ") !=
                          std::string::npos;
  }));
  if (image) image->cut();
  box.stop();
  if (tar > 0) kill(tar, SIGKILL);
  EXPECT_TRUE(!image || image->power_on());
  box.plan(a, "stay\n");
  for (const auto& kid : {a, b}) unlink((box.prog + "/" + kid + ".log").c_str());  // cut too
  box.start();
  EXPECT_TRUE(eventually([&] { return box.starts(a).size() * box.starts(b).size() > 0; }));
  EXPECT_EQ(count_of(box.out(), "failed boot"), 0) << box.out();
  return what_runs(box, a, b, 0);
}
}  // namespace

TEST(UpgradeFlow, ExitCodeInstallsPackageAndRestartsEveryChild) {
  struct Row {
    const char* record;  // the boot-check record afterwards; null: none
    int code;
    bool package;
    bool data_mode;  // where the next cycle starts the children from
  };
  const Row rows[] = {{R"({"version":"1.0.12.3","plugindata":1})", 130, true, true},
                      {R"({"version":"1.0.12.3","luadata":1})", 131, true, false},
                      {R"({"version":"1.0.12.3"})", 132, true, false},
                      {nullptr, 130, false, false}};
  mkdir("/tmp/.uci", 0777);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.code) + (row.package ? " with package" : " without package"));
    Sandbox box;
    std::string asker = box.child("ask"), other = box.child("other");
    box.config(R"({"__watch":{"processes":[{"base":")" + asker + R"("},{"base":")" + other +
               R"("}]}})");
    box.plan(asker, "sleep 50 exit " + std::to_string(row.code) + "\nstay\n");
    unlink(kPackage);
    if (row.package && row.code == 130) {
      make_package(box, {asker, other}, "");
    } else if (row.package) {
      Sandbox::write(kPackage, "script blob");
    }
    box.start();
    std::string restart = " -r " + std::to_string(row.code);
    for (const auto& kid : {asker, other}) {
      std::string want =
          row.data_mode ? "../data//" + kid + restart + " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21"
                        : kid + restart;
      EXPECT_TRUE(eventually([&] { return box.last_args(kid) == want; })) << box.last_args(kid);
    }
    EXPECT_FALSE(Sandbox::exists(kPackage));
    if (row.record)
      EXPECT_EQ(Sandbox::read(box.data + "/.bootchk"), row.record);
    else
      EXPECT_FALSE(Sandbox::exists(box.data + "/.bootchk"))
          << Sandbox::read(box.data + "/.bootchk");
    if (row.code == 131) {
      struct stat st {};
      EXPECT_EQ(Sandbox::read(box.data + "/init.bin"), "script blob");
      EXPECT_EQ(stat((box.data + "/init.bin").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_NE(box.run_file().find(asker + " exited normally with code(" + std::to_string(row.code) +
                                  ")\n"),
              std::string::npos);
  }
}

// A daemon killed in the middle of an unpack, of a first upgrade or of one
// over an earlier upgrade: restarted, it starts the shipped programs. Killed
// while it tests the package, it has changed nothing yet.
TEST(UpgradeFlow, InterruptedUnpackStartsShippedPrograms) {
  for (bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "over an earlier upgrade" : "first upgrade");
    Sandbox box;
    EXPECT_EQ(interrupted_upgrade(box, Stage::part, earlier, nullptr), "shipped");
  }
  Sandbox box;
  EXPECT_EQ(interrupted_upgrade(box, Stage::test, true, nullptr), "earlier");
}

// A power cut at each stage of an upgrade over an earlier one, and of a first
// one once done: until the new cycle runs the shipped programs start, then
// the whole new set.
TEST(UpgradeFlow, PowerCutLeavesShippedOrWholeNewPrograms) {
  struct Row {
    Stage stage;
    bool earlier;
    const char* runs;
  };
  for (Row row : {Row{Stage::before, true, "shipped"}, Row{Stage::part, true, "shipped"},
                  Row{Stage::whole, true, "shipped"}, Row{Stage::done, true, "new"},
                  Row{Stage::done, false, "new"}}) {
    SCOPED_TRACE("stage " + std::to_string(int(row.stage)) + (row.earlier ? ", earlier" : ""));
    Sandbox box;
    Ext4Image image(box);
    if (!image.ok) GTEST_SKIP() << "needs root, mkfs.ext4 and loop devices";
    EXPECT_EQ(interrupted_upgrade(box, row.stage, row.earlier, &image), row.runs);
  }
}

// A full data directory under an upgrade over data mode: filled to the brim,
// the record cannot lose plugindata and nothing is unpacked; with room for
// the record only, tar runs out of space in the second program. The earlier
// set runs on whole, or the shipped programs run; never one cut short.
TEST(UpgradeFlow, FullDataDirectoryNeverSelectsAProgramCutShort) {
  ASSERT_TRUE(private_mounts());
  for (bool brim : {true, false}) {
    SCOPED_TRACE(brim ? "full before the unpack" : "full during the unpack");
    Sandbox box;
    ASSERT_EQ(mount("minder-data", box.data.c_str(), "tmpfs", 0, "size=600k"), 0);
    Unmount unmount{box.data};
    std::string a = box.child("fulla", true), b = box.child("fullb", true);
    box.config(config_for({a, b}));
    box.plan(a, "exit 130\nstay\n");
    Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
    make_package(box, {a, b}, kNewVersion, 700 * 1000);
    const std::string filler = box.data + "/filler";
    fill_up(filler);
    struct stat st {};
    ASSERT_EQ(stat(filler.c_str(), &st), 0);
    ASSERT_EQ(truncate(filler.c_str(), st.st_size - (brim ? 0 : 65536)), 0);
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(a).size() > 1 && box.starts(b).size() > 1; }))
        << box.out();
    EXPECT_EQ(count_of(box.out(), "failed boot"), 0) << box.out();
    EXPECT_NE(box.args_at(b, 1).find(" -r 130"), std::string::npos) << box.args_at(b, 1);
    EXPECT_EQ(what_runs(box, a, b, 1), brim ? "earlier" : "shipped");
  }
}

// The unpacked files fail to reach the storage (syncfs fails with EIO): the
// record does not select them.
TEST(UpgradeFlow, FailedWriteBackKeepsShippedPrograms) {
  if (system(
          ("readelf -l " + std::string(MINDER_BIN) + " | grep -q 'program interpreter'").c_str()))
    GTEST_SKIP() << "the daemon under test is static: no preload reaches it";
  Sandbox box;
  std::string kid = box.child("wback");
  box.config(config_for({kid}));
  box.plan(kid, "exit 130\nstay\n");
  make_package(box, {kid}, "");
  box.preload = MINDER_SYNCFS_SHIM;
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; })) << box.out();
  EXPECT_EQ(Sandbox::read(box.data + "/.bootchk"), R"({"version":"1.0.12.3"})");
  EXPECT_EQ(box.last_args(kid), kid + " -r 130");
}

// The package is tested only over an earlier upgrade, where a package that
// fails would otherwise cost it, and what tar unpacks is what it tested: a
// tar that puts another package at the package's path once its test has
// passed leaves the tested set unpacked all the same.
TEST(UpgradeFlow, UnpacksThePackageItTested) {
  for (bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "over an earlier upgrade" : "first upgrade");
    Sandbox box;
    std::string a = box.child("testa", earlier), b = box.child("testb", earlier);
    box.config(config_for({a, b}));
    box.plan(a, "exit 130\nstay\n");
    if (earlier) Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
    const std::string other = "/tmp/.uci/" + box.name + ".tgz", calls = box.root + "/tar.calls";
    make_package(box, {a, b}, "\n# untested\n");
    ASSERT_EQ(rename(kPackage, other.c_str()), 0);
    make_package(box, {a, b}, kNewVersion);
    const std::string bin = box.root + "/bin", path = getenv("PATH");
    mkdir(bin.c_str(), 0755);
    Sandbox::write(bin + "/tar", "#!/bin/sh\nPATH=${PATH#*:}\necho \"$1\" >>" + calls +
                                     "\ncase $1 in -t*) tar \"$@\" && mv " + other + " " +
                                     kPackage + " ;; *) tar \"$@\" ;; esac\n");
    chmod((bin + "/tar").c_str(), 0755);
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    box.start();
    setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(eventually([&] { return box.starts(a).size() + box.starts(b).size() == 4; }))
        << box.out();
    EXPECT_EQ(what_runs(box, a, b, 1), "new");
    EXPECT_EQ(Sandbox::read(calls), earlier ? "-tzf\n-zxf\n" : "-zxf\n");
    unlink(other.c_str());
  }
}

// An unpack that fails part-way over an earlier upgrade (an entry below a
// path that is a file in the data directory): the package reads whole, so
// the record has left data mode when tar fails; the shipped programs start.
TEST(UpgradeFlow, UnpackFailingOverAnEarlierUpgradeStartsShippedPrograms) {
  Sandbox box;
  std::string a = box.child("clasha", true), b = box.child("clashb", true);
  box.config(config_for({a, b}));
  box.plan(a, "exit 130\nstay\n");
  Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
  Sandbox::write(box.data + "/lib", "a file where the package has a directory");
  make_package(box, {a, b}, kNewVersion);
  const std::string dir = box.root + "/package";
  mkdir((dir + "/lib").c_str(), 0755);
  Sandbox::write(dir + "/lib/helper", "helper");
  ASSERT_EQ(
      system(("tar czf " + std::string(kPackage) + " -C " + dir + " " + a + " " + b + " lib/helper")
                 .c_str()),
      0);
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(a).size() + box.starts(b).size() == 4; }))
      << box.out();
  EXPECT_EQ(what_runs(box, a, b, 1), "shipped");
  EXPECT_EQ(Sandbox::read(box.data + "/.bootchk"), R"({"version":"1.0.12.3"})");
  EXPECT_EQ(Sandbox::read(box.data + "/lib"), "a file where the package has a directory");
  EXPECT_NE(box.out().find("tar: "), std::string::npos) << box.out();
}
