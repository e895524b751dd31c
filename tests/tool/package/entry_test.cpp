// SPDX-License-Identifier: MIT
// What inspect says of each entry of a package, on packages written here in
// memory: the paths tar cannot place, owners, children, and the names the
// daemon keeps.
#include "entry.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

namespace {

struct entry {
  std::string path;
  mode_t type = AE_IFREG;
  mode_t perm = 0644;
  std::string body = "";
  const char* user = "root";
  const char* group = "root";
  long long uid = 0;
};

// The entries as a GNU tar archive.
std::string tar_of(const std::vector<entry>& entries) {
  std::vector<char> buf(1 << 20);
  size_t used = 0;
  std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
  archive_write_set_format_gnutar(a.get());
  archive_write_open_memory(a.get(), buf.data(), buf.size(), &used);
  for (const entry& e : entries) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> h(archive_entry_new(),
                                                               archive_entry_free);
    archive_entry_set_pathname(h.get(), e.path.c_str());
    archive_entry_set_filetype(h.get(), e.type);
    archive_entry_set_perm(h.get(), e.perm);
    archive_entry_set_uid(h.get(), e.uid);
    archive_entry_set_uname(h.get(), e.user);
    archive_entry_set_gname(h.get(), e.group);
    archive_entry_set_size(h.get(), static_cast<la_int64_t>(e.body.size()));
    EXPECT_EQ(archive_write_header(a.get(), h.get()), ARCHIVE_OK) << e.path;
    archive_write_data(a.get(), e.body.data(), e.body.size());
  }
  archive_write_close(a.get());
  return std::string(buf.data(), used);
}

// What inspect prints of the entries, one line each, and the problems counted.
std::string judged(const std::vector<entry>& entries, unpacking& u, int* problems) {
  std::string tar = tar_of(entries);
  std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
  archive_read_support_format_tar(a.get());
  EXPECT_EQ(archive_read_open_memory(a.get(), tar.data(), tar.size()), ARCHIVE_OK);
  report rep;
  testing::internal::CaptureStdout();
  archive_entry* e = nullptr;
  while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK)
    judge_entry(rep, archive_entry_pathname(e), a.get(), e, u);
  *problems = rep.problems();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

// Each row a package, with the problems found in it, one a line.
TEST(Entry, FlagsWhatTarCannotPlaceOrShouldNotKeep) {
  struct {
    std::vector<entry> entries;
    std::vector<std::string> want;
  } rows[] = {
      {{{"etc"}, {"etc/", AE_IFDIR, 0755}},
       {"etc/: a file from an earlier entry: BusyBox tar fails on this directory (exit 1; GNU tar "
        "replaces the file)"}},
      // The same directory again, a file written twice: tar takes them.
      {{{"etc/", AE_IFDIR, 0755}, {"./etc", AE_IFDIR, 0755}, {"etc/x"}, {"./etc/x"}}, {}},
      // tar strips the leading /: the path lands where one without it does.
      {{{"/bin/x"}, {"bin/x/y"}},
       {"/bin/x: absolute path: tar strips the leading / or refuses the entry",
        "bin/x/y: bin/x is a file from an earlier entry: tar cannot make this entry below it"}},
      {{{"a..b"}, {"..."}, {"x/../y"}, {"x/..", AE_IFDIR, 0755}},
       {"x/../y: a \"..\" in the path", "x/../: a \"..\" in the path"}},
      // Root's names, or none, agree with the numbers; other names are looked up.
      {{{"r"},
        {"n", AE_IFREG, 0644, "", "", ""},
        {"d", AE_IFREG, 0644, "", "daemon", "root"},
        {"u", AE_IFREG, 0644, "", "root", "root", 1000}},
       {"d: owner name \"daemon\": tar run as root on the device gives the file to the user",
        "u: owner 1000:0: tar run as root on the device keeps it"}},
      // Only at the top of ../data/ are the daemon's names its own.
      {{{"sub/init.bin"}, {"sub/.bootchk"}, {".bootchk.tmp"}},
       {".bootchk.tmp: .bootchk.tmp in ../data/ is the temporary file of the boot-check record"}},
      // The daemon reads config only from the program directory; a program
      // there is not judged without the configured children.
      {{{"./config"}, {"sub/config"}, {"tool", AE_IFREG, 0755}},
       {"config: minder reads config only from the program directory; this file changes nothing "
        "on the device"}},
  };
  for (const auto& row : rows) {
    unpacking u;
    int problems = 0;
    std::string out = judged(row.entries, u, &problems);
    EXPECT_EQ(problems, static_cast<int>(row.want.size())) << out;
    for (const std::string& text : row.want)
      EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
  }

  // A configured child must land as an executable file; those found are marked.
  unpacking u;
  u.children = {{"kid"}, {"sub/kid"}, {"gone"}, {"tool"}};
  int problems = 0;
  std::string out = judged({{"kid/", AE_IFDIR, 0755},
                            {"sub/kid", AE_IFREG, 0644, "#!/bin/sh\nexit 0\n"},
                            {"./tool", AE_IFREG, 0755, "#!/bin/sh\nexit 0\n"},
                            {"other", AE_IFREG, 0755, "#!/bin/sh\n"}},
                           u, &problems);
  EXPECT_EQ(problems, 3) << out;
  EXPECT_NE(out.find("other: never started: no configured child is named other"), std::string::npos)
      << out;
  EXPECT_NE(out.find("kid/: a directory, not the configured child: in data mode its start fails"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("sub/kid: configured child, not executable (mode 0644)"), std::string::npos)
      << out;
  EXPECT_TRUE(u.children[0].found && u.children[1].found && u.children[3].found);
  EXPECT_FALSE(u.children[2].found);
  EXPECT_EQ(u.programs, 2);  // ./tool and other
}
