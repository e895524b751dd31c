// SPDX-License-Identifier: MIT
// Whose upgrade package is installed.
#include "upgrade_package.hpp"

#include <gtest/gtest.h>

namespace {

struct stat file_of(uid_t uid, gid_t gid, mode_t mode, nlink_t links = 1) {
  struct stat st {};
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_mode = mode;
  st.st_nlink = links;
  return st;
}

const uid_t kMe = 1000, kOther = 1001;

}  // namespace

TEST(Package, OnlyTheDaemonsUserOrRootInAStateDirectoryOpenToAll) {
  struct {
    const char* what;
    struct stat entry, file, dir;
    bool trusted;
  } cases[] = {
      {"ours", file_of(kMe, kMe, S_IFREG | 0644), file_of(kMe, kMe, S_IFREG | 0644),
       file_of(0, 0, S_IFDIR | 01777), true},
      {"root's", file_of(0, 0, S_IFREG | 0600), file_of(0, 0, S_IFREG | 0600),
       file_of(0, 0, S_IFDIR | 01777), true},
      {"another user's", file_of(kOther, kOther, S_IFREG | 0644),
       file_of(kOther, kOther, S_IFREG | 0644), file_of(0, 0, S_IFDIR | 01777), false},
      {"another user's link to ours", file_of(kOther, kOther, S_IFLNK | 0777),
       file_of(kMe, kMe, S_IFREG | 0644), file_of(0, 0, S_IFDIR | 01777), false},
      {"our link to another user's", file_of(kMe, kMe, S_IFLNK | 0777),
       file_of(kOther, kOther, S_IFREG | 0644), file_of(0, 0, S_IFDIR | 01777), false},
      {"ours, a second name", file_of(kMe, kMe, S_IFREG | 0644),
       file_of(kMe, kMe, S_IFREG | 0644, 2), file_of(0, 0, S_IFDIR | 01777), false},
      {"ours, anybody may write", file_of(kMe, kMe, S_IFREG | 0666),
       file_of(kMe, kMe, S_IFREG | 0666), file_of(0, 0, S_IFDIR | 01777), false},
      {"ours, another group may write", file_of(kMe, 50, S_IFREG | 0664),
       file_of(kMe, 50, S_IFREG | 0664), file_of(0, 0, S_IFDIR | 01777), false},
      {"ours, our group may write", file_of(kMe, kMe, S_IFREG | 0664),
       file_of(kMe, kMe, S_IFREG | 0664), file_of(0, 0, S_IFDIR | 01777), true},
      {"ours, directory not sticky", file_of(kMe, kMe, S_IFREG | 0644),
       file_of(kMe, kMe, S_IFREG | 0644), file_of(0, 0, S_IFDIR | 0777), false},
      {"another user's, directory open to a group", file_of(kOther, 50, S_IFREG | 0644),
       file_of(kOther, 50, S_IFREG | 0644), file_of(0, 50, S_IFDIR | 01770), true},
      {"another user's, directory open to a group, anybody may write",
       file_of(kOther, 50, S_IFREG | 0646), file_of(kOther, 50, S_IFREG | 0646),
       file_of(0, 50, S_IFDIR | 01770), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(package_trusted(c.entry, c.file, c.dir, kMe, kMe), c.trusted) << c.what;
}
