// SPDX-License-Identifier: MIT
// Upgrade packages other users put into a state directory they may write to:
// the daemon, as root or as a user of its own, installs only its own.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

const std::string kPackage = "/tmp/.uci//qvupgrade.tgz";
const uid_t kNobody = 65534;

// The state directory as mode and group say, until it goes; and the
// daemon's user may write to the sandbox and libfaketime's /dev/shm.
class SharedStateDir {
 public:
  SharedStateDir(Sandbox& box, mode_t mode, gid_t group) {
    ok = private_mounts() && chown("/tmp/.uci", 0, group) == 0 && chmod("/tmp/.uci", mode) == 0 &&
         chmod(box.root.c_str(), 0755) == 0 && chmod(box.prog.c_str(), 0777) == 0 &&
         chmod(box.data.c_str(), 0777) == 0 &&
         mount("minder-shm", "/dev/shm", "tmpfs", 0, "mode=1777") == 0;
  }
  ~SharedStateDir() {
    unlink(kPackage.c_str());
    umount2("/dev/shm", MNT_DETACH);
    if (chown("/tmp/.uci", 0, 0) != 0 || chmod("/tmp/.uci", 0755) != 0) perror("/tmp/.uci");
  }
  bool ok = false;
};

}  // namespace

// A package of another user is not installed, by a daemon of root or of a
// user of its own: it stays where it is, and nothing is recorded. The daemon's
// own package is. In a state directory only a group may write to, a member's
// package is installed (a child that drops privileges to that group's user).
TEST(SharedState, OnlyTheDaemonsOwnPackageIsInstalled) {
  if (!private_mounts()) GTEST_SKIP() << "needs root: other users' files in /tmp/.uci";
  const uid_t user = 60000 + getpid() % 5000;
  struct Row {
    const char* what;
    bool as_root;  // else as user
    bool own;      // the package is the daemon's user's, else nobody's
    mode_t dir;    // of /tmp/.uci, which belongs to root
    int code;
    bool installed;
  };
  for (Row row : {Row{"root, nobody's package", true, false, 01777, 130, false},
                  Row{"root, nobody's blob", true, false, 01777, 131, false},
                  Row{"a user, nobody's package", false, false, 01777, 130, false},
                  Row{"a user, its own package", false, true, 01777, 130, true},
                  Row{"root, the group's directory", true, false, 01770, 130, true}}) {
    SCOPED_TRACE(row.what);
    Sandbox box;
    SharedStateDir dir(box, row.dir, kNobody);
    ASSERT_TRUE(dir.ok);
    std::string kid = box.child("shared");
    box.config(config_for({kid}));
    box.plan(kid, "exit " + std::to_string(row.code) + "\nstay\n");
    ASSERT_EQ(system(("tar -czf " + kPackage + " -C " + box.prog + " " + kid).c_str()), 0);
    const uid_t owner = !row.own ? kNobody : row.as_root ? 0 : user;
    ASSERT_EQ(chown(kPackage.c_str(), owner, owner) | chmod(kPackage.c_str(), 0644), 0);
    if (!row.as_root) {
      const std::string id = std::to_string(user);
      box.wrapper = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; })) << box.out();
    const std::string code = " -r " + std::to_string(row.code);
    const bool data_mode = row.installed && row.code == 130;
    EXPECT_EQ(box.last_args(kid),
              data_mode ? "../data//" + kid + code + " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21"
                        : kid + code);
    EXPECT_EQ(Sandbox::exists(kPackage), !row.installed);
    EXPECT_EQ(Sandbox::exists(box.data + "/" + kid), data_mode);
    EXPECT_EQ(Sandbox::exists(box.data + "/init.bin"), row.installed && row.code == 131);
    EXPECT_EQ(Sandbox::read(box.data + "/.bootchk"),
              row.installed ? R"({"version":"1.0.12.3","plugindata":1})" : "");
  }
}
