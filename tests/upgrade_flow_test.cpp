// Upgrade requests through a child's exit status, with the real package path.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

const char kPackage[] = "/tmp/.uci//qvupgrade.tgz";

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
      std::string dir = box.root + "/package";
      mkdir(dir.c_str(), 0755);
      for (const auto& kid : {asker, other}) copy_exec(MINDER_FIXTURE, dir + "/" + kid);
      ASSERT_EQ(system(("tar czf " + std::string(kPackage) + " -C " + dir + " .").c_str()), 0);
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
