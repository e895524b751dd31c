// SPDX-License-Identifier: MIT
// Version comparison, the boot-check record and the upgrade installer, on a
// real program/data tree and the real package path.
#include "upgrade.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kPackage[] = "/tmp/.uci//qvupgrade.tgz";
supervisor_state state;  // the installer does not use it

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Works in the program directory of a fresh tree, as the daemon does.
class Upgrade : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(getcwd(cwd_, sizeof cwd_));
    ASSERT_EQ(chdir(box.prog.c_str()), 0);
    mkdir("/tmp/.uci", 0777);
    unlink(kPackage);
  }
  void TearDown() override {
    unlink(kPackage);
    EXPECT_FALSE(Sandbox::exists(record + ".tmp"));
    ASSERT_EQ(chdir(cwd_), 0);
  }
  // "<tgz>": a gzip tar holding plugin/run.sh; anything else: those bytes.
  void put_package(const std::string& bytes) {
    if (bytes != "<tgz>") return Sandbox::write(kPackage, bytes);
    mkdir((box.root + "/plugin").c_str(), 0755);
    Sandbox::write(box.root + "/plugin/run.sh", "echo upgraded\n");
    ASSERT_EQ(system(("tar czf " + std::string(kPackage) + " -C " + box.root + " plugin").c_str()),
              0);
  }

  Sandbox box;
  const std::string record = box.data + "/.bootchk";
  char cwd_[4096];
};

}  // namespace

TEST(Version, PackAndCompare) {
  struct {
    const char* text;
    uint32_t packed;
    int sign;  // against the supervisor's own version
  } cases[] = {{"1.0.12.3", 0x01000c03, 0},
               {"1.0.12", 0x01000c00, -1},
               {"1.0.12.3.7", 0x01000c03, 0},
               {"2", 0x02000000, 1},
               {"1.0.256.3", 0x01000003, -1},
               {"1..0.12.3", 0x01000c03, 0},
               {".1.0.12.3.", 0x01000c03, 0},
               {"1.0.12.4", 0x01000c04, 1},
               {"0.255.255.255", 0x00ffffff, -1},
               {"200.0.0.0", 0xc8000000, 1},
               {"", 0, -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(version_pack(c.text), c.packed) << c.text;
    int32_t diff = version_compare(c.text, "1.0.12.3");
    EXPECT_EQ((diff > 0) - (diff < 0), c.sign) << c.text;
    diff = version_compare("1.0.12.3", c.text);
    EXPECT_EQ((diff > 0) - (diff < 0), -c.sign) << c.text;
  }
}

TEST_F(Upgrade, BootModeFromRecord) {
  struct {
    const char* text;  // null: no record
    int mode;
    bool kept;
  } cases[] = {{nullptr, 0, false},
               {"", 0, true},
               {"not json", 0, true},
               {R"(["version","1.0.12.3"])", 0, true},
               {R"({"plugindata":1})", 0, true},
               {R"({"version":1,"plugindata":1})", 0, true},
               {R"({"version":"1.0.12","plugindata":1})", 0, false},
               {R"({"version":"1.0.12.3","plugindata":1})", 1, true},
               {R"({"version":"1.0.13","plugindata":1})", 1, true},
               {R"({"version":"200.0.0.0","plugindata":1})", 1, true},
               {R"({"version":"1.0.12.3","plugindata":true})", 1, true},
               {R"({"version":"1.0.12.3","plugindata":2})", 0, true},
               {R"({"version":"1.0.12.3","plugindata":"1"})", 0, true}};
  for (const auto& c : cases) {
    unlink(record.c_str());
    if (c.text) Sandbox::write(record, c.text);
    EXPECT_EQ(read_boot_mode(), c.mode) << (c.text ? c.text : "no record");
    EXPECT_EQ(Sandbox::read(record), c.kept ? c.text : "") << (c.text ? c.text : "no record");
  }
  EXPECT_EQ(clear_bootchk(), 1);
  EXPECT_FALSE(Sandbox::exists(record));
  EXPECT_EQ(clear_bootchk(), 0);
}

TEST_F(Upgrade, InstallsAndRecords) {
  struct {
    const char *before, *package;  // before "=": as the previous row left it; null: none
    int code;
    const char* after;  // null: no record
  } cases[] = {{nullptr, "<tgz>", 130, R"({"version":"1.0.12.3","plugindata":1})"},
               {nullptr, "not a gzip tar", 130, R"({"version":"1.0.12.3"})"},
               {nullptr, "pkg", 132, R"({"version":"1.0.12.3"})"},
               {nullptr, nullptr, 130, nullptr},
               {R"({"version": "1.0.1"} )", nullptr, 131, R"({"version": "1.0.1"} )"},
               {R"({"version":5,"plugindata":1})", "pkg", 132,
                R"({"version":5,"plugindata":1,"version":"1.0.12.3"})"},
               {"[1,2]", "pkg", 132, R"({"version":"1.0.12.3"})"},
               {R"({"version":"1.0.13","x":"y","plugindata":2})", "<tgz>", 130,
                R"({"version":"1.0.13","x":"y","plugindata":2,"plugindata":1})"},
               {R"({"version":"1.0.13","plugindata":1,"x":"y","PluginData":2})", "<tgz>", 130,
                R"({"version":"1.0.13","x":"y","plugindata":1})"},
               {R"({"version":"1.0.12.3","plugindata":1})", "not a gzip tar", 130,
                R"({"version":"1.0.12.3","plugindata":1})"},
               {nullptr, "blob 1", 131, R"({"version":"1.0.12.3","luadata":1})"},
               {"=", "blob 2", 131, R"({"version":"1.0.12.3","luadata":1,"luadata":1})"}};
  for (const auto& c : cases) {
    std::string what = std::string(c.package ? c.package : "no package") + " " +
                       std::to_string(c.code) + " onto " + (c.before ? c.before : "no record");
    if (!c.before) unlink(record.c_str());
    if (c.before && std::string(c.before) != "=") Sandbox::write(record, c.before);
    if (c.package) put_package(c.package);
    apply_upgrade(state, c.code);
    EXPECT_FALSE(Sandbox::exists(kPackage)) << what;
    EXPECT_FALSE(Sandbox::exists(record + ".tmp")) << what;
    EXPECT_EQ(Sandbox::exists(record), c.after != nullptr) << what;
    EXPECT_EQ(Sandbox::read(record), c.after ? c.after : "") << what;
  }
  EXPECT_EQ(Sandbox::read(box.data + "/plugin/run.sh"), "echo upgraded\n");
  EXPECT_EQ(Sandbox::read(box.data + "/init.bin"), "blob 2");
  EXPECT_EQ(mode_of(box.data + "/init.bin"), 0700u);
}

TEST_F(Upgrade, ScriptBlobUnwritable) {
  ASSERT_EQ(mkdir((box.data + "/init.bin").c_str(), 0755), 0);
  Sandbox::write(kPackage, "blob");
  CaptureStdout();
  apply_upgrade(state, 131);
  std::string out = GetCapturedStdout();  // the copy is whole; only its rename fails
  EXPECT_EQ(out.rfind("Failed to read or write, in, ", 0), 0u) << out;
  EXPECT_NE(out.find(", out, -1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("in, -1,"), std::string::npos) << out;
  EXPECT_EQ(Sandbox::read(record), R"({"version":"1.0.12.3"})");
  EXPECT_FALSE(Sandbox::exists(kPackage));
  EXPECT_FALSE(Sandbox::exists(box.data + "/init.bin.tmp"));
}

// Links planted at the temporary files' paths (by a package, say) are
// removed, never written through.
TEST_F(Upgrade, PlantedTemporaryLinksAreNotFollowed) {
  const std::string target = box.root + "/precious";
  for (const char* tmp : {"/.bootchk.tmp", "/init.bin.tmp"}) {
    Sandbox::write(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), (box.data + tmp).c_str()), 0);
  }
  Sandbox::write(kPackage, "blob");
  apply_upgrade(state, 131);
  EXPECT_EQ(Sandbox::read(target), "precious");
  EXPECT_EQ(Sandbox::read(box.data + "/init.bin"), "blob");
  EXPECT_EQ(Sandbox::read(record), R"({"version":"1.0.12.3","luadata":1})");
  EXPECT_FALSE(Sandbox::exists(box.data + "/init.bin.tmp"));
}

TEST_F(Upgrade, CopyFile) {
  const std::string src = box.root + "/src", dst = box.root + "/dst", bytes(3000, '\xa5');
  Sandbox::write(dst, "old contents");
  CaptureStdout();
  EXPECT_EQ(copy_file(src.c_str(), dst.c_str()), -1);  // no source
  EXPECT_EQ(GetCapturedStdout().rfind("Failed to read or write, in, -1, out, ", 0), 0u);
  EXPECT_EQ(copy_file(box.root.c_str(), dst.c_str()), -1);  // a source that cannot be read
  EXPECT_EQ(Sandbox::read(dst), "old contents");            // a failed copy leaves it
  EXPECT_FALSE(Sandbox::exists(dst + ".tmp"));
  Sandbox::write(src, bytes);
  EXPECT_EQ(copy_file(src.c_str(), (box.root + "/no/dst").c_str()), -1);
  EXPECT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
  EXPECT_EQ(Sandbox::read(dst), bytes);
}

TEST_F(Upgrade, WriteTextFileReplacesAtomically) {
  const std::string path = box.data + "/f", dir = box.data + "/d", missing = box.root + "/no/f";
  Sandbox::write(path, "old text");
  int reader = open(path.c_str(), O_RDONLY);  // holds on to the old file
  mode_t old = umask(027);
  EXPECT_EQ(write_text_file(path.c_str(), "new", 3), 0);
  umask(old);
  EXPECT_EQ(Sandbox::read(path), "new");
  EXPECT_EQ(mode_of(path), 0640u);
  char seen[16] = "";
  EXPECT_GT(read(reader, seen, sizeof seen - 1), 0);
  close(reader);
  EXPECT_STREQ(seen, "old text");  // replaced, not rewritten in place
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  for (const std::string& bad : {dir, missing}) {
    EXPECT_EQ(write_text_file(bad.c_str(), "x", 1), -1) << bad;
    EXPECT_FALSE(Sandbox::exists(bad + ".tmp")) << bad;
  }
}
