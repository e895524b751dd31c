// SPDX-License-Identifier: MIT
// minder-tool rehearse: its judgements alone, and whole rehearsals of the
// board builds on an emulated board, which make check-rehearse runs.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "deb_find.hpp"
#include "harness.hpp"
#include "leftovers.hpp"
#include "log.hpp"
#include "rehearsal.hpp"
#include "sandbox.hpp"

namespace {

std::string run_line(const std::string& stamp, const std::string& what) {
  return "Tue Dec  8 10:00:" + stamp + " 2026: " + what + "\n";
}

// The exit status of fn, run as the user nobody in a child process.
int as_nobody(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                  setresuid(65534, 65534, 65534) == 0
              ? fn()
              : 127);
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

}  // namespace

// Links in the board's root resolve inside it, never to the host's files.
TEST(Rehearse, JudgesProgramsByTheBoardsRoot) {
  Sandbox box;
  std::string root = box.root + "/rootfs";
  ASSERT_EQ(system(("mkdir -p " + root + "/usr/lib " + root + "/etc").c_str()), 0);
  Sandbox::write(root + "/usr/lib/ld-musl-armhf.so.1", "");
  ASSERT_EQ(symlink("/usr/lib", (root + "/lib").c_str()), 0);
  ASSERT_EQ(symlink("/etc/hostname", (root + "/etc/name").c_str()), 0);
  ASSERT_EQ(symlink("../../../../../../etc/hostname", (root + "/up").c_str()), 0);
  ASSERT_EQ(symlink("loop", (root + "/loop").c_str()), 0);
  EXPECT_TRUE(exists_in_root(root, "/lib/ld-musl-armhf.so.1"));
  EXPECT_FALSE(exists_in_root(root, "/etc/name"));
  EXPECT_FALSE(exists_in_root(root, "/up"));
  EXPECT_FALSE(exists_in_root(root, "/loop"));

  rehearsal r;
  ASSERT_TRUE(arch_by_name("armhf", &r.b.id, &r.b.cpu));
  r.b.known = true;
  auto judged = [&](const std::string& image, std::string* why) {
    const char* error = "";
    verdict v = board_verdict(r, reinterpret_cast<const unsigned char*>(image.data()), image.size(),
                              why, &error);
    return v == verdict::refused ? std::string(error) : v == verdict::runs ? "runs" : "root";
  };
  std::string why, x86 = Sandbox::read("/proc/self/exe").substr(0, 65536);
  EXPECT_EQ(judged("#!/bin/sh\n", &why), "runs");
  // Without the board's root only the board's C library is known.
  EXPECT_EQ(judged(arm_program("/lib/ld-musl-armhf.so.1"), &why), "root");
  EXPECT_EQ(judged(arm_program("/lib/ld-linux-armhf.so.3"), &why), "No such file or directory");
  r.rootfs = root;
  EXPECT_EQ(judged(arm_program("/lib/ld-musl-armhf.so.1"), &why), "runs");
  unlink((root + "/usr/lib/ld-musl-armhf.so.1").c_str());
  EXPECT_EQ(judged(arm_program("/lib/ld-musl-armhf.so.1"), &why), "No such file or directory");
  EXPECT_EQ(why, "its program interpreter /lib/ld-musl-armhf.so.1 is not in the board's root");
  EXPECT_EQ(judged(x86, &why), "Exec format error");
  EXPECT_EQ(why, "built for 64-bit x86-64, the board is 32-bit ARM");

  // The stand-in fails as execv fails on the board.
  std::string script = box.prog + "/kid";
  Sandbox::write(script, standin_script(why, "Exec format error"));
  chmod(script.c_str(), 0755);
  command_result run = run_command("sh -c 'cd " + box.root + "/data && ../prog//kid -r 130'");
  EXPECT_EQ(run.status, 129);
  EXPECT_EQ(run.out, "failed to exec ../prog//kid, error is Exec format error\n");
}

// The problems of each phase, from what the explainer reads in its run file
// and output, and from the starts seen.
TEST(Rehearse, FindsTheProblemsOfEachPhase) {
  rehearsal r;
  r.children = {"kida", "kidb"};
  std::vector<phase_result> p(3);
  auto start = [](double at, const char* child, bool from_data, bool requester = false) {
    child_start s;
    s.at = at;
    s.child = child;
    s.from_data = from_data;
    s.requester = requester;
    return s;
  };
  auto problems = [&](int phase) {
    log_input in;
    in.run_text = p[phase - 1].run_text;
    in.output_text = p[phase - 1].out_text;
    in.has_output = true;
    std::string all;
    for (const std::string& s : phase_problems(r, phase, p, parse_log(in))) all += s + "\n";
    return all;
  };
  p[1].run_text = "/opt/app/bin\n" + run_line("01", "kida exited normally with code(130)") +
                  run_line("02", "kidb exited normally with code(129)");
  p[1].out_text =
      "failed to exec ../data//kidb, error is Exec format error\n"
      "failed boot, then clean bootchk, and try again\n";
  p[1].request = 1;
  p[1].record_why = "no record: normal mode";
  p[1].starts = {start(0, "kida", false, true), start(0, "kidb", false), start(1, "kida", true),
                 start(1, "kidb", true),        start(2, "kida", false), start(2, "kidb", false)};
  p[2].run_text = "/opt/app/bin\n";
  p[2].starts = {start(0, "kida", false), start(0, "kidb", false)};
  p[1].event_at = {1.0, 2.0};
  EXPECT_EQ(problems(2),
            "kidb could not be started (exit 129) at 2.0 s: failed to exec ../data//kidb, error "
            "is Exec format error\n"
            "minder fell back to the shipped programs: \"failed boot, then clean bootchk, and "
            "try again\"\n"
            "the upgrade did not select data mode: no record: normal mode\n");
  EXPECT_EQ(problems(3),
            "kida started from the program directory after the reboot, from ../data// after the "
            "request\n"
            "kidb started from the program directory after the reboot, from ../data// after the "
            "request\n");

  p[0].run_text = "/opt/app/bin\n" + run_line("01", "kidb killed by signal(11)") +
                  run_line("05", "kidb exited normally with code(3)") +
                  run_line("06", "kida killed by signal(4)") +
                  run_line("07", "kida killed by signal(15)");
  p[0].event_at = {1.0, 5.0, 6.0, 7.0};
  EXPECT_EQ(problems(1),
            "kidb died of a segmentation fault (signal 11) at 1.0 s\n"
            "kidb ended (exit status 3) at 5.0 s\n"
            "kida died of an illegal instruction (signal 4) at 6.0 s\n"
            "kida ended (killed by signal 15) at 7.0 s\n");

  // What the package put in ../data/ that minder never reads: a problem of
  // the phase it lands in.
  r.ignored = {"config: minder reads config only from the program directory"};
  EXPECT_NE(problems(2).find("\nconfig: minder reads config only"), std::string::npos);
  EXPECT_EQ(problems(3).find("config:"), std::string::npos);
}

namespace {

// The first bytes of a 64-bit x86-64 program.
std::string x86_program() {
  std::string e(64, '\0');
  e.replace(0, 7, "\177ELF\2\1\1");
  e[16] = 2;
  e[18] = 62;
  return e;
}

std::string tar_list(const std::string& package) {
  return run_command("tar -tvzf " + package + " | awk '{print $1, $3, $6}'").out;
}

}  // namespace

// The rehearsal's copies: a child the board cannot execute is a stand-in,
// in the program directory and in the package; the rest is as it was.
TEST(Rehearse, CopiesWithStandIns) {
  Sandbox box;
  rehearsal r;
  r.dir = box.root + "/bin";
  r.work = box.root + "/work";
  r.root = box.root + "/rootfs";
  r.children = {"kida", "kidb"};
  ASSERT_TRUE(arch_by_name("armhf", &r.b.id, &r.b.cpu));
  r.b.known = true;
  ASSERT_EQ(system(("mkdir -p " + r.dir + "/share " + r.work + " " + r.root).c_str()), 0);
  Sandbox::write(r.dir + "/kida", x86_program());
  Sandbox::write(r.dir + "/kidb", "#!/bin/sh\nexec sleep 9\n");
  Sandbox::write(r.dir + "/share/notes", "x");
  chmod((r.dir + "/kida").c_str(), 0750);
  chmod((r.dir + "/share/notes").c_str(), 0640);
  ASSERT_EQ(symlink("kidb", (r.dir + "/alias").c_str()), 0);
  std::string why;
  ASSERT_TRUE(copy_program_dir(r, &why)) << why;
  std::string prog = r.work + "/prog";
  EXPECT_EQ(Sandbox::read(prog + "/kida").compare(0, 10, "#!/bin/sh\n"), 0);
  EXPECT_EQ(Sandbox::read(prog + "/kidb"), Sandbox::read(r.dir + "/kidb"));
  struct stat st;
  EXPECT_TRUE(stat((prog + "/kida").c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);
  EXPECT_TRUE(stat((prog + "/share/notes").c_str(), &st) == 0 && (st.st_mode & 07777) == 0640);
  EXPECT_TRUE(lstat((prog + "/alias").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  ASSERT_EQ(r.standins.size(), 1u);
  EXPECT_EQ(r.standins[0].name, "kida");

  // The package: kida stood in for, notes (no child) kept as it was.
  std::string src = box.root + "/src";
  ASSERT_EQ(system(("mkdir " + src + " && cp " + r.dir + "/kida " + r.dir + "/kidb " + src +
                    " && cp " + r.dir + "/kida " + src + "/notes")
                       .c_str()),
            0);
  r.package = box.root + "/up.tgz";
  ASSERT_EQ(run_command(std::string(MINDER_TOOL) + " pack " + src + " -o " + r.package).status, 0);
  ASSERT_TRUE(copy_package(r, &why)) << why;
  EXPECT_EQ(r.standins.size(), 2u);
  std::string size = std::to_string(Sandbox::read(prog + "/kida").size());
  EXPECT_EQ(tar_list(r.work + "/package.tgz"),
            "-rwxr-xr-x " + size + " kida\n-rw-r--r-- 23 kidb\n-rwxr-xr-x 64 notes\n");
  // What lands in ../data/ but is never started is named.
  ASSERT_EQ(r.ignored.size(), 1u);
  EXPECT_EQ(r.ignored[0], "notes: never started: no configured child is named notes");

  // A package that is no gzip tar reaches the board's tar as it is.
  unlink((r.work + "/package.tgz").c_str());
  Sandbox::write(r.package, "not a package");
  ASSERT_TRUE(copy_package(r, &why)) << why;
  EXPECT_EQ(Sandbox::read(r.work + "/package.tgz"), "not a package");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("cannot be read whole"), std::string::npos);

  // The requester puts the first child back and asks with 130.
  r.prog = prog;
  std::string first = Sandbox::read(prog + "/kida");
  ASSERT_TRUE(install_requester(r, &why)) << why;
  EXPECT_EQ(run_command("sh " + prog + "/kida").status, 130);
  EXPECT_EQ(Sandbox::read(prog + "/kida"), first);

  // Unprivileged, a directory that denies writing is copied as well.
  if (geteuid() != 0) return;
  r.work = box.root + "/mine";
  ASSERT_EQ(system(("chmod 755 " + box.root + " && mkdir " + r.work + " && chmod 555 " + r.dir +
                    "/share && chown -R 65534 " + r.dir + " " + r.work)
                       .c_str()),
            0);
  EXPECT_EQ(as_nobody([&] { return copy_program_dir(r, &why) ? 0 : 1; }), 0);
  EXPECT_EQ(Sandbox::read(r.work + "/prog/share/notes"), "x");
}

// The rehearsal's own directory goes whole, and only it: a link out of it is
// not followed, a directory its programs made read-only is no obstacle.
TEST(Rehearse, RemovesItsOwnTreeOnly) {
  Sandbox box;
  std::string work = box.root + "/work", outside = box.root + "/keep";
  ASSERT_EQ(system(("mkdir -p " + work + "/ro/deep " + outside).c_str()), 0);
  Sandbox::write(work + "/ro/deep/file", "x");
  Sandbox::write(outside + "/file", "kept");
  ASSERT_EQ(symlink(outside.c_str(), (work + "/out").c_str()), 0);
  chmod((work + "/ro/deep").c_str(), 0500);
  chmod((work + "/ro").c_str(), 0500);
  remove_tree(work);
  EXPECT_FALSE(Sandbox::exists(work));
  EXPECT_EQ(Sandbox::read(outside + "/file"), "kept");

  // Unprivileged, a directory that denies its owner reading goes too (the
  // overlay's work directory, as the kernel leaves it).
  if (geteuid() != 0) return;
  std::string mine = box.root + "/mine";
  ASSERT_EQ(system(("chmod 1777 " + box.root + " && mkdir -p " + mine + "/ovl/work && chmod 0 " +
                    mine + "/ovl/work && chown -R 65534 " + mine)
                       .c_str()),
            0);
  EXPECT_EQ(as_nobody([&] { return remove_tree(mine), 0; }), 0);
  EXPECT_FALSE(Sandbox::exists(mine));
}

namespace {

// A package of files (path relative to its root, contents; a contents of "->
// TARGET" is a link) built with dpkg-deb.
std::string make_deb(const std::string& dir, const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& files) {
  std::string root = dir + "/" + name;
  run_command("mkdir -p " + root + "/DEBIAN");
  Sandbox::write(root + "/DEBIAN/control", "Package: " + name +
                                               "\nVersion: 1\nArchitecture: all\nMaintainer: "
                                               "t <t@t>\nDescription: t\n");
  for (const auto& f : files) {
    std::string path = root + "/" + f.first;
    run_command("mkdir -p " + path.substr(0, path.rfind('/')));
    if (f.second.compare(0, 3, "-> ") == 0)
      EXPECT_EQ(symlink(f.second.substr(3).c_str(), path.c_str()), 0);
    else
      Sandbox::write(path, f.second);
  }
  // dpkg-deb needs GNU tar, also where the tests run with BusyBox's first on PATH.
  EXPECT_EQ(
      run_command("env PATH=/usr/bin:/bin dpkg-deb -b -Zgzip " + root + " " + root + ".deb").status,
      0);
  return root + ".deb";
}

}  // namespace

// What the rehearsal takes from Debian is found by what it is: Debian 12 and
// Debian 13 lay out busybox-static and the static emulators differently.
TEST(Rehearse, FindsDebiansProgramsByWhatTheyAre) {
  Sandbox box;
  std::string arm = arm_program("");
  arm[52] = 1;  // a PT_LOAD, no interpreter: static
  std::string x86 = x86_program(), x86_dynamic = Sandbox::read("/proc/self/exe");
  elf_id armhf, host;
  ASSERT_TRUE(arch_by_name("armhf", &armhf) && elf_of("/proc/self/exe", &host));
  deb_want busybox{{"busybox"}, armhf, true, "busybox"};
  deb_want qemu{{"qemu-arm-static", "qemu-arm"}, host, true, "qemu-arm-static"};
  auto take = [&](const std::string& deb, const deb_want& w, std::string* why) {
    std::string out = deb + ".out";
    mkdir(out.c_str(), 0755);
    why->clear();
    return unpack_wanted(deb, {w}, out, why) ? Sandbox::read(out + "/" + w.save_as) : "";
  };
  std::string why;
  EXPECT_EQ(take(make_deb(box.root, "bb12", {{"bin/busybox", arm}}), busybox, &why), arm) << why;
  // Debian 13: /usr/bin/busybox, and a text file named busybox beside it.
  std::string bb13 = make_deb(box.root, "bb13",
                              {{"usr/share/initramfs-tools/conf-hooks.d/busybox", "BUSYBOX=y\n"},
                               {"usr/bin/busybox", arm},
                               {"usr/share/doc/busybox/busybox", arm}});
  EXPECT_EQ(take(bb13, busybox, &why), arm) << why;
  EXPECT_EQ(take(make_deb(box.root, "bbx", {{"bin/busybox", x86}}), busybox, &why), "");
  EXPECT_EQ(why, "bbx.deb holds no static program for 32-bit ARM named busybox in a bin directory");

  EXPECT_EQ(take(make_deb(box.root, "qus12", {{"usr/bin/qemu-arm-static", x86}}), qemu, &why), x86)
      << why;
  // Debian 13's qemu-user-static only links to qemu-user's programs, which
  // Debian 12 builds dynamically.
  EXPECT_EQ(
      take(make_deb(box.root, "qus13", {{"usr/bin/qemu-arm-static", "-> qemu-arm"}}), qemu, &why),
      "");
  EXPECT_EQ(why, "qus13.deb holds no static program for " + elf_name(host) +
                     " named qemu-arm-static or qemu-arm in a bin directory");
  EXPECT_EQ(take(make_deb(box.root, "qu12", {{"usr/bin/qemu-arm", x86_dynamic}}), qemu, &why), "");
  EXPECT_EQ(take(make_deb(box.root, "qu13", {{"usr/bin/qemu-arm", x86}}), qemu, &why), x86) << why;
  // The preferred name wins wherever it lies in the archive.
  std::string x86b = x86 + "b";
  EXPECT_EQ(take(make_deb(box.root, "both",
                          {{"usr/bin/qemu-arm", x86}, {"usr/bin/qemu-arm-static", x86b}}),
                 qemu, &why),
            x86b)
      << why;
}

// A killed rehearsal's directory goes at the next rehearsal; only one that
// is provably a rehearsal's whose process is gone.
TEST(Rehearse, ClearsLeftoversOfKilledRehearsalsOnly) {
  Sandbox box;
  std::string tmp = box.root + "/tmp", why;
  mkdir(tmp.c_str(), 0755);
  auto work = [&](const std::string& name, const std::string& mark) {
    std::string dir = tmp + "/" + name;
    run_command("mkdir -p " + dir + "/root/ro && chmod 500 " + dir + "/root/ro");
    if (!mark.empty()) Sandbox::write(dir + "/.owner", mark);
    return dir;
  };
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  std::string mine = tmp + "/minder-rehearse-live";
  mkdir(mine.c_str(), 0700);
  ASSERT_TRUE(mark_work(mine, &why)) << why;
  std::string killed = work("minder-rehearse-killed", std::to_string(gone) + " 1\n");
  // The pid lives on in another process, which started at another time.
  std::string reused = work("minder-rehearse-reused", std::to_string(getpid()) + " 1\n");
  std::string unmarked = work("minder-rehearse-unmarked", "");
  std::string other = work("other-killed", std::to_string(gone) + " 1\n");
  std::string odd = work("minder-rehearse-odd", "not a mark\n");
  ASSERT_EQ(symlink(killed.c_str(), (tmp + "/minder-rehearse-link").c_str()), 0);
  EXPECT_EQ(clear_leftovers(tmp), 2);
  EXPECT_FALSE(Sandbox::exists(killed));
  EXPECT_FALSE(Sandbox::exists(reused));
  for (const std::string& kept : {mine, unmarked, other, odd}) EXPECT_TRUE(Sandbox::exists(kept));
  // Not ours: another user's directory stays.
  if (geteuid() != 0) return;
  std::string theirs = work("minder-rehearse-theirs", std::to_string(gone) + " 1\n");
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(clear_leftovers(tmp), 0);
  EXPECT_TRUE(Sandbox::exists(theirs));
}

// A package of Debian's that lacks what the rehearsal needs is a set-up
// error naming the package and the file (apt-get here hands out one whose
// busybox is a text file).
TEST(Rehearse, NamesWhatDebiansPackageLacks) {
  Sandbox box;
  std::string bin = box.root + "/apt", dir = box.root + "/bin";
  mkdir(bin.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string deb = make_deb(box.root, "busybox-static", {{"usr/bin/busybox", "#!/bin/sh\n"}});
  Sandbox::write(bin + "/apt-get", "#!/bin/sh\ncp " + deb + " busybox-static_1_amd64.deb\n");
  chmod((bin + "/apt-get").c_str(), 0755);
  Sandbox::write(dir + "/minder", x86_program());
  chmod((dir + "/minder").c_str(), 0755);
  Sandbox::write(dir + "/config", config_for({"kid"}));
  Sandbox::write(dir + "/kid", "#!/bin/sh\n");
  command_result r = run_command("env PATH=" + bin + ":/usr/bin:/bin XDG_CACHE_HOME=" + box.root +
                                 "/cache " + MINDER_TOOL + " rehearse " + dir);
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(
      r.has("minder-tool: rehearse: Debian's busybox-static:amd64: "
            "busybox-static_1_amd64.deb holds no static program for 64-bit x86-64 named "
            "busybox in a bin directory: give --root ROOTFS\n"))
      << r.out;
}

// On kernels without a binfmt_misc of a namespace's own, the machine's entry
// with the F flag must take the board's programs.
TEST(Rehearse, MatchesTheMachinesBinfmtEntries) {
  const std::string mask = "ffffffffffffff00fffffffffffffffffeffffff";
  elf_id arm, arm64, x86;
  ASSERT_TRUE(arch_by_name("armel", &arm) && arch_by_name("arm64", &arm64) &&
              arch_by_name("x86-64", &x86));
  std::string qemu_arm = "7f454c4601010100000000000000000002002800";
  std::string qemu_aarch64 = "7f454c460201010000000000000000000200b700";
  EXPECT_TRUE(binfmt_matches(qemu_arm, mask, arm));
  EXPECT_FALSE(binfmt_matches(qemu_arm, mask, arm64));
  EXPECT_TRUE(binfmt_matches(qemu_aarch64, mask, arm64));
  EXPECT_FALSE(binfmt_matches(qemu_aarch64, mask, x86));
  EXPECT_FALSE(binfmt_matches("7f454c46zz", "", arm));
  EXPECT_TRUE(binfmt_matches("7f454c46", "", arm));
}

// What cannot be rehearsed is said in one line, with exit status 2, before
// anything runs.
TEST(Rehearse, RefusesWhatItCannotRehearse) {
  Sandbox box;
  std::string dir = box.root + "/bin", tool = std::string(MINDER_TOOL) + " rehearse ";
  mkdir(dir.c_str(), 0755);
  Sandbox::write(dir + "/config", config_for({"kid"}));
  Sandbox::write(dir + "/kid", "#!/bin/sh\n");
  struct row {
    std::string args, want;
  } rows[] = {
      {dir + " a b", "one or two paths expected"},
      {dir, "no daemon binary found"},
      {dir + " " + box.root + "/none.tgz", "none.tgz: No such file or directory"},
      {dir + " --root " + box.root, "has no /bin/sh"},
      {box.root, "config: the daemon cannot load it"},
  };
  for (const row& c : rows) {
    command_result r = run_command(tool + c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_TRUE(r.has(c.want)) << c.args << ": " << r.out;
  }
  // A daemon linked against the host's C library has no loader in a BusyBox root.
  copy_exec(MINDER_BIN, dir + "/minder");
  command_result r = run_command(tool + dir + " --seconds 0");
  EXPECT_TRUE(r.status == 2 && r.has("--seconds 0: give a whole number")) << r.out;
  r = run_command(tool + dir + " --keep " + box.root);
  EXPECT_TRUE(r.status == 2 && r.has("give a directory that does not exist yet")) << r.out;
  r = run_command(tool + dir);
  EXPECT_TRUE(r.status == 2 && r.has("is linked dynamically")) << r.out;
}

namespace {

// Whole rehearsals need the board builds, cross compilers, and a kernel that
// gives an unprivileged user namespace its own binfmt_misc. Why a rehearsal
// cannot run here, or "" when it can.
std::string why_not_rehearse(const std::string& board_bin) {
  if (!getenv("MINDER_REHEARSE")) return "make check-rehearse runs these";
  if (!Sandbox::exists(board_bin)) return "no " + board_bin + ": make board first";
  return "";
}

std::string board_bin(const char* dir) {
  return std::string(MINDER_SOURCE_DIR) + "/" + dir + "/minder";
}

// A C program built for the board with cc, static.
void build(const std::string& cc, const std::string& source, const std::string& out) {
  std::string cmd = "printf '%s' '" + source + "' | " + cc + " -static -Os -x c -o " + out + " -";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

const char kIdle[] = "#include <unistd.h>\nint main(void) { for (;;) pause(); }\n";

// DIR (the daemon, a C child kida, a script child kidb) and a package of the
// same children, where kidb is the program built from source with cc.
struct upgrade {
  std::string dir, package;
};
upgrade make_upgrade(Sandbox& box, const std::string& daemon, const std::string& cc,
                     const std::string& kidb_cc, const std::string& kidb_source) {
  std::string dir = box.root + "/bin", src = box.root + "/upgrade";
  mkdir(dir.c_str(), 0755);
  mkdir(src.c_str(), 0755);
  copy_exec(daemon, dir + "/minder");
  build(cc, kIdle, dir + "/kida");
  copy_exec(dir + "/kida", src + "/kida");
  Sandbox::write(dir + "/kidb", "#!/bin/sh\nwhile :; do sleep 1; done\n");
  chmod((dir + "/kidb").c_str(), 0755);
  build(kidb_cc, kidb_source, src + "/kidb");
  Sandbox::write(dir + "/config", config_for({"kida", "kidb"}));
  std::string pkg = box.root + "/up.tgz";
  run_command(std::string(MINDER_TOOL) + " pack " + src + " -o " + pkg);
  return {dir, pkg};
}

command_result rehearse(const std::string& args) {
  return run_command(std::string(MINDER_TOOL) + " rehearse " + args, 240);
}

// Whether the tool said that this machine's kernel cannot rehearse.
bool cannot(const command_result& r) {
  return r.status == 2 &&
         (r.has("binfmt_misc") || r.has("user namespace") || r.has("seccomp user notification"));
}

// The report of phase n, up to the next phase.
std::string phase(const command_result& r, int n) {
  size_t at = r.out.find("\nphase " + std::to_string(n) + ", ");
  size_t end = r.out.find("\nphase " + std::to_string(n + 1) + ", ");
  return at == std::string::npos ? "" : r.out.substr(at, end - at);
}

}  // namespace

TEST(Rehearse, GoodArmhfUpgrade) {
  std::string why = why_not_rehearse(board_bin("build-board"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-board"), "arm-linux-gnueabihf-gcc",
                           "arm-linux-gnueabihf-gcc", kIdle);
  std::string svg = box.root + "/phases.svg";
  command_result r = rehearse(u.dir + " " + u.package + " --seconds 4 --svg " + svg);
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* kid : {"kida", "kidb"}) {
    std::string data = std::string("started: ../data//") + kid;
    EXPECT_NE(phase(r, 2).find(data + " -r 130 -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(phase(r, 3).find(data + " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_TRUE(r.has("requester: in phase 2 kida")) << r.out;
  EXPECT_NE(Sandbox::read(svg).find("<svg"), std::string::npos);
}

TEST(Rehearse, ChildForAnotherMachineFailsAsOnTheBoard) {
  std::string why = why_not_rehearse(board_bin("build-board"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-board"), "arm-linux-gnueabihf-gcc", "cc", kIdle);
  command_result r = rehearse(u.dir + " " + u.package + " --seconds 3");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has("stand-in: " + u.package +
                    ": kidb: built for 64-bit x86-64, the board is "
                    "32-bit ARM"))
      << r.out;
  EXPECT_NE(phase(r, 2).find("problem: kidb could not be started (exit 129) "), std::string::npos)
      << r.out;
  EXPECT_NE(phase(r, 2).find(": failed to exec ../data//kidb, error is Exec format error"),
            std::string::npos)
      << r.out;
  EXPECT_NE(phase(r, 2).find("problem: minder fell back to the shipped programs"),
            std::string::npos)
      << r.out;
}

TEST(Rehearse, SegfaultAtStartIsNamed) {
  std::string why = why_not_rehearse(board_bin("build-board"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-board"), "arm-linux-gnueabihf-gcc",
                           "arm-linux-gnueabihf-gcc", "int main(void) { *(volatile int *)0 = 1; }");
  command_result r = rehearse(u.dir + " " + u.package + " --seconds 3");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(phase(r, 2).find("problem: kidb died of a segmentation fault (signal 11)"),
            std::string::npos)
      << r.out;
}

// The integrator's root, for another board: the program directory inside it
// is where the daemon runs, and the root is left as it was.
TEST(Rehearse, UsesTheBoardsOwnRoot) {
  std::string why = why_not_rehearse(board_bin("build-board-arm64"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-board-arm64"), "aarch64-linux-gnu-gcc",
                           "aarch64-linux-gnu-gcc", kIdle);
  std::string root = box.root + "/rootfs",
              busybox = std::string(MINDER_SOURCE_DIR) + "/scripts/fetch-deb busybox-static:arm64";
  command_result fetched = run_command(busybox, 600);
  ASSERT_EQ(fetched.status, 0) << fetched.out;
  std::string deb = fetched.out.substr(0, fetched.out.find('\n'));
  std::string make = "mkdir -p " + root + "/bin " + root + "/srv/app && cp " + deb +
                     "/bin/busybox " + root + "/bin/ && for a in sh killall tar mv sleep; do " +
                     "ln -s busybox " + root + "/bin/$a; done && mv " + u.dir + " " + root +
                     "/srv/app/bin";
  ASSERT_EQ(system(make.c_str()), 0);
  std::string before = run_command("find " + root + " | sort").out;
  command_result r =
      rehearse(root + "/srv/app/bin " + u.package + " --root " + root + " --seconds 3");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has("on a 64-bit AArch64 board (arm64), emulated CPU cortex-a53, root " + root +
                    ", program directory /srv/app/bin"))
      << r.out;
  EXPECT_NE(phase(r, 3).find("started: ../data//kida -T /tmp/.uci/"), std::string::npos) << r.out;
  EXPECT_EQ(run_command("find " + root + " | sort").out, before);
}

// A boot rehearsal (no package) of an x86-64 program directory runs natively;
// its ARM child fails as on an x86-64 board, and the daemon ends.
TEST(Rehearse, BootOfAnX86DirNatively) {
  std::string why = why_not_rehearse(board_bin("build-musl"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-musl"), "cc", "cc", kIdle);
  build("arm-linux-gnueabihf-gcc", kIdle, u.dir + "/kidb");
  std::string svg = box.root + "/boot.svg";
  Sandbox::write(svg + ".tmp", "not the tool's");
  command_result r = rehearse(u.dir + " --seconds 3 --svg " + svg);
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has(svg + ": not written: File exists")) << r.out;
  EXPECT_EQ(Sandbox::read(svg + ".tmp"), "not the tool's");
  EXPECT_TRUE(r.has("(amd64), natively") && !r.has("\nphase 2, ")) << r.out;
  EXPECT_TRUE(
      r.has("stand-in: program directory: kidb: built for 32-bit ARM, the board is "
            "64-bit x86-64"))
      << r.out;
  EXPECT_NE(phase(r, 1).find("problem: kidb could not be started (exit 129) at "),
            std::string::npos)
      << r.out;
  EXPECT_NE(phase(r, 1).find(": failed to exec kidb, error is Exec format error"),
            std::string::npos)
      << r.out;
  EXPECT_NE(phase(r, 1).find("problem: minder ended: \"failed for normal boot, exit\""),
            std::string::npos)
      << r.out;
}

// A root without killall: minder cannot end the children of the cycle before
// a child's 160, so the old instance runs on beside the new one. The root's
// lack and the two instances are problems; the 160, a request used as
// designed, is none. Phase 1 runs the --seconds given, beyond 20 s too.
TEST(Rehearse, RootWithoutKillallLeavesTwoInstances) {
  std::string why = why_not_rehearse(board_bin("build-musl"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-musl"), "cc", "cc", kIdle);
  Sandbox::write(u.dir + "/kidb",
                 "#!/bin/sh\n[ -e /tmp/asked ] && exec sleep 1000\n: > /tmp/asked\nexit 160\n");
  // As a Debian minbase root is: dash as sh, GNU tar and gzip, no killall.
  std::string root = box.root + "/rootfs";
  std::string make =
      "mkdir -p " + root + "/bin " + root + "/srv/app && for p in dash tar gzip sleep; do " +
      "cp --parents $(ldd /bin/$p | grep -o '/[^ ]*') /bin/$p " + root + "; done && ln -s dash " +
      root + "/bin/sh && mv " + u.dir + " " + root + "/srv/app/bin";
  ASSERT_EQ(system(make.c_str()), 0);
  command_result r = rehearse(root + "/srv/app/bin --root " + root + " --seconds 21");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has("phase 1 of 1, first boot: /srv/app/bin/minder starts, for 21 s")) << r.out;
  EXPECT_NE(phase(r, 1).find("problem: the board's root: no killall that minder's shell finds"),
            std::string::npos)
      << r.out;
  EXPECT_NE(phase(r, 1).find("problem: kida ran twice at once from "), std::string::npos) << r.out;
  EXPECT_EQ(phase(r, 1).find("problem: kidb"), std::string::npos) << r.out;
}

// An armhf board built for VFPv3-D16 has no NEON: a child that uses it dies
// of an illegal instruction there, and in the rehearsal.
TEST(Rehearse, NeonChildOnABoardWithoutNeon) {
  std::string why = why_not_rehearse(board_bin("build-board"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  const char neon[] =
      "#include <arm_neon.h>\n#include <unistd.h>\n"
      "int main(void) { volatile float in[4] = {1, 2, 3, 4};\n"
      "  float32x4_t v = vld1q_f32((const float *)in); v = vaddq_f32(v, v);\n"
      "  volatile float out = vgetq_lane_f32(v, 0); (void)out; for (;;) pause(); }\n";
  upgrade u = make_upgrade(box, board_bin("build-board"), "arm-linux-gnueabihf-gcc",
                           "arm-linux-gnueabihf-gcc -mfpu=neon", neon);
  command_result r = rehearse(u.dir + " " + u.package + " --seconds 3");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(r.has("emulated CPU cortex-a8,neon=off")) << r.out;
  EXPECT_NE(phase(r, 2).find("problem: kidb died of an illegal instruction (signal 4) "),
            std::string::npos)
      << r.out;
}

// The tool's own failure is no verdict on the package: a phase that could
// not run (here the daemon's loader is an empty file) is one line, exit 2.
TEST(Rehearse, ToolFailureIsNoVerdict) {
#ifdef __SANITIZE_THREAD__
  // The daemon is started by a child made with a raw clone, which may stop
  // for good in the sanitizer's runtime (its locks are not reset there).
  GTEST_SKIP() << "minder-tool built with ThreadSanitizer: the daemon's start may hang";
#endif
  Sandbox box;
  std::string root = box.root + "/rootfs", dir = root + "/app/bin";
  ASSERT_EQ(system(("mkdir -p " + root + "/bin " + root + "/lib64 " + dir).c_str()), 0);
  Sandbox::write(root + "/bin/sh", "");
  Sandbox::write(root + "/lib64/ld-linux-x86-64.so.2", "");
  copy_exec("/bin/true", dir + "/minder");
  Sandbox::write(dir + "/config", config_for({"kid"}));
  Sandbox::write(dir + "/kid", "#!/bin/sh\n");
  chmod((dir + "/kid").c_str(), 0755);
  command_result r = rehearse(dir + " --root " + root + " --seconds 2");
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(
      r.has("minder-tool: rehearse: phase 1 of 1, first boot, could not run: minder could "
            "not be started: /app/bin/minder: "))
      << r.out;
  EXPECT_FALSE(r.has("problem")) << r.out;
}

namespace {

// Runs cmd as root where the kernel refuses user namespaces, as in a chroot
// or some containers: a seccomp filter fails every clone and unshare that
// asks for one with EPERM (and clone3, which it cannot look into, with ENOSYS).
command_result refusing_user_namespaces(const std::string& cmd, const std::string& out) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 7),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 6, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unshare, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_NEWUSER, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
  };
  sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  pid_t pid = fork();
  if (pid == 0) {
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) _exit(127);
    if (unshare(CLONE_NEWUSER) == 0 || errno != EPERM) _exit(126);
    command_result r = run_command(cmd, 240);
    Sandbox::write(out, r.out);
    _exit(r.status);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Sandbox::read(out)};
}

}  // namespace

// A package's program reaches nothing of the workstation: not through
// /proc/1/root, an absolute link in the package, nor /proc/self/root/..; as
// root (whose board users are unprivileged ones), as root where user
// namespaces are refused, and unprivileged.
TEST(Rehearse, SealedFromTheWorkstation) {
  std::string why = why_not_rehearse(board_bin("build-musl"));
  if (!why.empty()) GTEST_SKIP() << why;
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-musl"), "cc", "cc", kIdle);
  std::string tag = "minder-escape-" + std::to_string(getpid()), src = box.root + "/escape";
  std::string escape =
      "#!/bin/sh\n"
      "echo x > /proc/1/root/tmp/" +
      tag +
      "-1\n"
      "echo x > ../data/hostlink/" +
      tag +
      "-2\n"
      "echo x > /proc/self/root/../../../../tmp/" +
      tag +
      "-3\n"
      "echo x > /proc/1/cwd/../../../../tmp/" +
      tag +
      "-4\n"
      "touch /tmp/" +
      tag +
      "-ran\n"
      "while :; do sleep 1; done\n";
  mkdir(src.c_str(), 0755);
  Sandbox::write(src + "/kidb", escape);
  chmod((src + "/kidb").c_str(), 0755);
  ASSERT_EQ(symlink("/proc/1/root/tmp", (src + "/hostlink").c_str()), 0);
  std::string pkg = box.root + "/escape.tgz";
  copy_exec(box.root + "/upgrade/kida", src + "/kida");
  ASSERT_EQ(run_command("tar -czf " + pkg + " -C " + src + " kida kidb hostlink").status, 0);
  auto escaped = [&] {
    return run_command("find /tmp " + box.root + " -maxdepth 3 -name '" + tag + "-*'").out;
  };
  std::string args = u.dir + " " + pkg + " --seconds 3";

  command_result r = rehearse(args);
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(escaped(), "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(phase(r, 2).find("started: ../data//kidb"), std::string::npos) << r.out;
  if (geteuid() != 0) return;

  r = refusing_user_namespaces(std::string(MINDER_TOOL) + " rehearse " + args, box.root + "/out");
  EXPECT_EQ(escaped(), "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(phase(r, 2).find("started: ../data//kidb"), std::string::npos) << r.out;

  // Unprivileged, with a copy of root's fetched BusyBox.
  std::string cache = box.root + "/cache", tmp = box.root + "/tmp";
  const char* home = getenv("HOME");
  ASSERT_EQ(system(("chmod 755 " + box.root + " && mkdir -p " + cache + " " + tmp + " && cp -a " +
                    (home ? home : "/root") + "/.cache/minder-tool " + cache +
                    "/ && chown -R 65534:65534 " + cache + " " + tmp + " && chmod -R a+rX " +
                    u.dir + " " + pkg)
                       .c_str()),
            0);
  r = run_command("env XDG_CACHE_HOME=" + cache + " TMPDIR=" + tmp +
                      " setpriv --reuid=65534 --regid=65534 --clear-groups " + MINDER_TOOL +
                      " rehearse " + args,
                  240);
  if (cannot(r)) return;
  EXPECT_EQ(escaped(), "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(phase(r, 2).find("started: ../data//kidb"), std::string::npos) << r.out;
}

// As root, the board's users are unprivileged ones, yet the board's root user
// owns the integrator's root as on the board: a child changes a file of it
// (in the overlay), and the root itself stays as it was.
TEST(Rehearse, BoardsRootUserOwnsTheRoot) {
  std::string why = why_not_rehearse(board_bin("build-musl"));
  if (!why.empty()) GTEST_SKIP() << why;
  if (geteuid() != 0) GTEST_SKIP() << "as root only";
  Sandbox box;
  upgrade u = make_upgrade(box, board_bin("build-musl"), "cc", "cc", kIdle);
  command_result fetched =
      run_command(std::string(MINDER_SOURCE_DIR) + "/scripts/fetch-deb busybox-static:amd64", 600);
  ASSERT_EQ(fetched.status, 0) << fetched.out;
  std::string root = box.root + "/rootfs", deb = fetched.out.substr(0, fetched.out.find('\n'));
  ASSERT_EQ(system(("mkdir -p " + root + "/bin " + root + "/etc " + root + "/srv && cp " + deb +
                    "/bin/busybox " + root + "/bin/ && for a in sh killall tar mv sleep; do " +
                    "ln -s busybox " + root + "/bin/$a; done && echo old >" + root +
                    "/etc/motd && mv " + u.dir + " " + root + "/srv/bin")
                       .c_str()),
            0);
  Sandbox::write(root + "/srv/bin/kidb", "#!/bin/sh\necho new >>/etc/motd\nexec sleep 60\n");
  std::string keep = box.root + "/keep";
  command_result r = rehearse(root + "/srv/bin --root " + root + " --seconds 2 --keep " + keep);
  if (cannot(r)) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Sandbox::read(keep + "/upper/etc/motd"), "old\nnew\n") << r.out;
  EXPECT_EQ(Sandbox::read(root + "/etc/motd"), "old\n");
  struct stat st;
  EXPECT_TRUE(stat((keep + "/upper/etc/motd").c_str(), &st) == 0 && st.st_uid == kBoardUsers);
}
