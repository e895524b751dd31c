// SPDX-License-Identifier: MIT
// Faults seen from outside: fork refused, a full or read-only data directory,
// damaged packages and records, a daemon killed outright, racing starts.
// Mounts are made in the mount namespace private to this test program.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "harness.hpp"

namespace {

const std::string kPackage = "/tmp/.uci//qvupgrade.tgz";

// The upgrade package: a gzip tar holding the program prog/child.
void make_package(const Sandbox& box, const std::string& child) {
  std::string cmd = "tar -czf " + kPackage + " -C " + box.prog + " " + child;
  ASSERT_EQ(system(cmd.c_str()), 0);
}

// Runs fn in a process of user uid (all its ids) that exits with fn's result.
pid_t run_as(uid_t uid, const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                  setresuid(uid, uid, uid) == 0
              ? fn()
              : 127);
  return pid;
}

int status_of(pid_t pid) {
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

}  // namespace

// RLIMIT_NPROC counts every task of a user. The daemon runs as a user of its
// own; once its two children run, its limit is set to its own threads plus
// two. A restart then finds a free place only while nothing else is added:
// - A killed: A restarts and exits 160; the new cycle starts A while the killed
//   B is not yet collected, so B's fork fails and the daemon ends.
// - a third process of the user, then B killed: B's restart fails, and with
//   no record the daemon ends.
TEST(Faults, ForkRefused) {
  ASSERT_TRUE(private_mounts());
  for (bool at_restart : {false, true}) {
    SCOPED_TRACE(at_restart ? "at a restart" : "at the start of a cycle");
    Sandbox box;
    std::string a = box.child("forka");
    std::string b = box.child("forkb");
    box.config(config_for({a, b}));
    box.plan(a, "stay\nexit 160\nstay\n");
    // A state directory the daemon's user may write.
    std::string uci = box.root + "/uci";
    ASSERT_EQ(mkdir(uci.c_str(), 0), 0);
    ASSERT_EQ(
        chmod(uci.c_str(), 01777) | chmod(box.root.c_str(), 0755) | chmod(box.prog.c_str(), 0777),
        0);
    mkdir("/tmp/.uci", 0777);
    ASSERT_EQ(mount(uci.c_str(), "/tmp/.uci", nullptr, MS_BIND, nullptr), 0);
    Unmount unmount{"/tmp/.uci"};
    // libfaketime's shared semaphore is named after the daemon's pid; a
    // stale one of root's would refuse the daemon's user.
    ASSERT_EQ(mount("minder-shm", "/dev/shm", "tmpfs", 0, "mode=1777"), 0);
    Unmount unmount_shm{"/dev/shm"};
    uid_t uid = 60000 + getpid() % 5000 + (at_restart ? 1 : 0);
    std::string id = std::to_string(uid);
    // (A leak check at exit would need a task more than the limit allows.)
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";
    box.wrapper = {"env", asan, "setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(a).size() + box.starts(b).size() == 2; }));
    std::string status = Sandbox::read("/proc/" + std::to_string(box.pid) + "/status");
    int threads = atoi(status.c_str() + status.find("Threads:") + 8);
    ASSERT_GT(threads, 0);
    pid_t daemon = box.pid;
    ASSERT_EQ(status_of(run_as(uid,
                               [&] {
                                 rlimit limit{rlim_t(threads) + 2, rlim_t(threads) + 2};
                                 return prlimit(daemon, RLIMIT_NPROC, &limit, nullptr);
                               })),
              0);
    pid_t blocker = -1;
    if (at_restart) {
      blocker = run_as(uid, [] { return pause(); });
      ASSERT_TRUE(eventually([&] {
        return Sandbox::read("/proc/" + std::to_string(blocker) + "/status").find("Uid:\t" + id) !=
               std::string::npos;
      }));
    }
    kill(box.last_pid(at_restart ? b : a), SIGKILL);
    EXPECT_EQ(box.wait_exit(), 0);
    if (blocker > 0 && kill(blocker, SIGKILL) == 0) status_of(blocker);
    std::string lost = at_restart ? b : a;
    EXPECT_EQ(box.out(), "Will restart normal prog after 10 secs\nfailed to fork\n" +
                             std::string(at_restart ? "failed for normal boot, exit\n" : ""));
    std::string run = box.run_file();
    EXPECT_EQ(run.rfind(box.prog + "\n", 0), 0u) << run;
    EXPECT_EQ(count_of(run, "\n"), at_restart ? 2 : 3) << run;
    EXPECT_EQ(count_of(run, lost + " killed by signal(9)\n"), 1) << run;
    EXPECT_EQ(count_of(run, a + " exited normally with code(160)\n"), at_restart ? 0 : 1) << run;
    EXPECT_EQ(box.starts(b).size(), 1u);
    // A, running since the start, ends by the parent-death signal. (The A
    // forked just before a failed cycle ends the daemon may miss it: the
    // daemon can be gone before the child asks for the signal.)
    pid_t left = box.last_pid(a);
    EXPECT_TRUE(!at_restart || eventually([&] { return !process_alive(left); }));
  }
}

// The data directory is full or read-only during an upgrade request. The old
// record fills one page and the new one needs two, more than the full file
// system has even when the old record is emptied first: only the old record,
// whole, may remain. The package is still removed, and the daemon goes on
// supervising (a later end is logged and restarted).
TEST(Faults, FullOrReadOnlyDataDirectoryKeepsRecord) {
  ASSERT_TRUE(private_mounts());
  struct Case {
    bool read_only;
    int code;
  };
  for (Case c : {Case{false, 130}, Case{false, 131}, Case{true, 130}, Case{true, 132}}) {
    SCOPED_TRACE((c.read_only ? "read-only, exit " : "full, exit ") + std::to_string(c.code));
    Sandbox box;
    std::string kid = box.child("full");
    box.config(config_for({kid}));
    box.plan(kid, "exit " + std::to_string(c.code) + "\nexit 3\nstay\n");
    ASSERT_EQ(mount("minder-data", box.data.c_str(), "tmpfs", 0, "size=16k"), 0);
    Unmount unmount{box.data};
    const std::string record = R"({"luadata":1,"pad":")" + std::string(4064, 'x') + "\"}";
    Sandbox::write(box.data + "/.bootchk", record);
    if (c.read_only)
      ASSERT_EQ(mount(nullptr, box.data.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    else
      fill_up(box.data + "/filler");
    make_package(box, kid);
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 3; })) << box.out();
    std::string now = Sandbox::read(box.data + "/.bootchk");
    EXPECT_TRUE(now == record) << now.size() << " bytes, ending "
                               << now.substr(now.size() > 24 ? now.size() - 24 : 0);
    EXPECT_FALSE(Sandbox::exists(kPackage));
    EXPECT_EQ(box.args_at(kid, 1), kid + " -r " + std::to_string(c.code));
    EXPECT_EQ(box.last_args(kid), kid + " -r 3");
    EXPECT_EQ(count_of(box.run_file(), kid + " exited normally with code(3)\n"), 1);
    EXPECT_TRUE(process_alive(box.pid));
  }
}

// A record that cannot be removed after a failed boot (read-only data
// directory) is passed over: the shipped program runs, without a retry loop.
TEST(Faults, UnremovableRecordIsPassedOver) {
  ASSERT_TRUE(private_mounts());
  Sandbox box;
  std::string kid = box.child("stuck");  // not in the data directory
  box.config(config_for({kid}));
  ASSERT_EQ(mount("minder-data", box.data.c_str(), "tmpfs", 0, "size=16k"), 0);
  Unmount unmount{box.data};
  Sandbox::write(box.data + "/.bootchk", R"({"version":"1.0.12.3","plugindata":1})");
  ASSERT_EQ(mount(nullptr, box.data.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 1; })) << box.out();
  EXPECT_EQ(box.last_args(kid), kid + " -r 129");
  EXPECT_EQ(count_of(box.out(), "failed boot, then clean bootchk, and try again\n"), 1);
  EXPECT_TRUE(process_alive(box.pid));
}

// Started with standard input or output closed, the daemon puts /dev/null
// there before it opens anything, so its run file gets every event line.
TEST(Faults, ClosedStandardDescriptor) {
  for (const char* closed : {"<&-", ">&-"}) {
    SCOPED_TRACE(closed);
    Sandbox box;
    std::string kid = box.child("stdfd");
    box.config(config_for({kid}));
    box.plan(kid, "exit 160\nstay\n");
    // Without libfaketime, whose own descriptor would fill the gap.
    box.wrapper = {"sh", "-c", std::string("shift 2; exec \"$@\" ") + closed, "sh"};
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; }));
    EXPECT_TRUE(eventually([&] { return count_of(box.run_file(), " code(160)\n") == 1; }, 5));
    std::string fd = "/proc/" + std::to_string(box.pid) + "/fd/" + (closed[0] == '<' ? "0" : "1");
    char target[64] = "";
    EXPECT_GT(readlink(fd.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
  }
}

// Damaged input from outside: a package that is no gzip tar, an empty one,
// one cut short (over data mode: the earlier upgrade runs on), one that is no
// file at all, and a record cut off in the middle.
TEST(Faults, DamagedPackageOrRecord) {
  const std::string truncated = R"({"version":"1.0.12.3","plugin)";
  const char upgraded[] = R"({"version":"1.0.12.3","plugindata":1})";
  struct Case {
    const char* what;
    const char* package;  // null: none; "tgz": a real package; "cut": half of one
    const char* record;   // before; null: none
    const char* after;    // null: no record afterwards
    int code;
    bool data_mode;
  };
  const Case cases[] = {
      {"text package", "not a tar\n", nullptr, R"({"version":"1.0.12.3"})", 130, false},
      {"empty package", "", nullptr, R"({"version":"1.0.12.3"})", 130, false},
      {"empty blob", "", nullptr, R"({"version":"1.0.12.3","luadata":1})", 131, false},
      {"package cut short, over data mode", "cut", upgraded, upgraded, 130, true},
      {"truncated record, upgrade", "tgz", truncated.c_str(),
       R"({"version":"1.0.12.3","plugindata":1})", 130, true},
      {"truncated record, unstartable", nullptr, truncated.c_str(), nullptr, 129, false},
      {"FIFO package", "fifo", nullptr, nullptr, 130, false},
      {"FIFO blob", "fifo", nullptr, nullptr, 131, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    std::string kid = box.child("damage", c.data_mode);
    box.config(config_for({kid}));
    box.plan(kid, "exit " + std::to_string(c.code) + "\nstay\n");
    if (c.record) Sandbox::write(box.data + "/.bootchk", c.record);
    const std::string kind = c.package ? c.package : "";
    unlink(kPackage.c_str());
    const bool real = kind == "tgz" || kind == "cut";
    if (real) make_package(box, kid);
    if (kind == "cut") {
      ASSERT_EQ(truncate(kPackage.c_str(), Sandbox::read(kPackage).size() / 2), 0);
    }
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(kPackage.c_str(), 0600), 0);  // as good as missing
    }
    if (c.package && !real && kind != "fifo") Sandbox::write(kPackage, c.package);
    box.start();
    ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 2; })) << box.out();
    EXPECT_EQ(Sandbox::exists(kPackage), kind == "fifo");
    std::string record = box.data + "/.bootchk";
    EXPECT_EQ(Sandbox::exists(record) ? Sandbox::read(record) : "(none)",
              c.after ? c.after : "(none)");
    std::string code = " -r " + std::to_string(c.code);
    EXPECT_EQ(box.last_args(kid),
              c.data_mode ? "../data//" + kid + code + " -T /tmp/.uci/ -D ../data/ -O PELTRO_KQ21"
                          : kid + code);
    std::string blob = box.data + "/init.bin";
    EXPECT_EQ(Sandbox::exists(blob), c.code == 131 && kind != "fifo");
    EXPECT_EQ(Sandbox::read(blob), "");
    EXPECT_EQ(count_of(box.out(), "failed boot, then clean bootchk, and try again\n"),
              c.code == 129 ? 1 : 0);
    // A package refused by its test says why, as a failed unpack does.
    if (kind == "cut") {
      EXPECT_NE(box.out().find("tar: "), std::string::npos) << box.out();
    }
    EXPECT_TRUE(process_alive(box.pid));
  }
}

// Another user plants the run file in a state directory open to all (mode
// 1777, as a shared /tmp/.uci may be) and holds its lock. A daemon of root
// replaces it with a file of its own and supervises; the planter keeps an
// unlinked file. A daemon of another user cannot remove it (the sticky bit)
// and ends, as for any lock it cannot take: the limit that the docs state.
TEST(Faults, RunFilePlantedByAnotherUser) {
  ASSERT_TRUE(private_mounts());
  for (bool as_root : {true, false}) {
    SCOPED_TRACE(as_root ? "daemon of root" : "daemon of a user");
    Sandbox box;
    std::string kid = box.child("plant");
    box.config(config_for({kid}));
    ASSERT_EQ(chmod("/tmp/.uci", 01777) | chmod(box.root.c_str(), 0755), 0);
    ASSERT_EQ(mount("minder-shm", "/dev/shm", "tmpfs", 0, "mode=1777"), 0);
    Unmount unmount_shm{"/dev/shm"};
    const std::string path = box.run_path();
    pid_t planter = run_as(65534, [&] {
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
      return fd >= 0 && flock(fd, LOCK_EX) == 0 && write(fd, "theirs\n", 7) == 7 ? pause() : 1;
    });
    ASSERT_TRUE(eventually([&] { return Sandbox::read(path) == "theirs\n"; }));
    const uid_t user = 60000 + getpid() % 5000;
    const std::string id = std::to_string(user);
    if (!as_root) box.wrapper = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    box.start();
    if (as_root) {
      EXPECT_TRUE(eventually([&] { return box.starts(kid).size() == 1; })) << box.out();
    } else {
      EXPECT_EQ(box.wait_exit(), 0);
    }
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, as_root ? 0u : 65534u);
    EXPECT_EQ(box.run_file(), as_root ? box.prog + "\n" : "theirs\n");
    EXPECT_EQ(
        box.out(),
        as_root ? "" : "failed to open " + path + "\nprocess(" + box.argv0 + ") already run\n");
    EXPECT_EQ(box.starts(kid).size(), as_root ? 1u : 0u);
    kill(planter, SIGKILL);
    status_of(planter);
    chmod("/tmp/.uci", 0755);
  }
}

// A daemon killed with SIGKILL: its children end by the parent-death signal,
// except one that ignores SIGTERM, which the next daemon kills by name before
// it starts afresh.
TEST(Faults, DaemonKilledMidCycle) {
  Sandbox box;
  std::string stubborn = box.child("stubbn");
  std::string plain = box.child("plain");
  box.config(config_for({stubborn, plain}));
  box.plan(stubborn, "ignore 15\n");
  box.plan(plain, "exit 1\nstay\nexit 2\nstay\n");
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(plain).size() == 2; }));
  pid_t old_stubborn = box.last_pid(stubborn);
  pid_t old_plain = box.last_pid(plain);
  kill_daemon(box.pid);
  EXPECT_TRUE(eventually([&] { return !process_alive(old_plain); }));
  EXPECT_TRUE(process_alive(old_stubborn));

  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(plain).size() == 4; }));
  EXPECT_FALSE(process_alive(old_stubborn));
  EXPECT_EQ(box.starts(stubborn).size(), 2u);
  EXPECT_TRUE(process_alive(box.last_pid(stubborn)));
  EXPECT_EQ(box.args_at(plain, 2), plain);  // a fresh start carries no -r
  EXPECT_EQ(box.last_args(plain), plain + " -r 2");
  std::string run = box.run_file();
  EXPECT_EQ(run.rfind(box.prog + "\n", 0), 0u) << run;
  EXPECT_EQ(count_of(run, "\n"), 2) << run;
  EXPECT_EQ(count_of(run, plain + " exited normally with code(2)\n"), 1) << run;
}

// Two daemons of one name released at the same instant: one runs, the other
// reports the lock and exits 0. Fifty rounds.
TEST(Faults, SimultaneousStartsLeaveOneDaemon) {
  Sandbox box;
  std::string kid = box.child("race");
  box.config(config_for({kid}));
  const std::string refusal =
      "already in use for " + box.run_path() + "\nprocess(" + box.argv0 + ") already run\n";
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t pids[2];
    for (int i = 0; i < 2; ++i) {
      pids[i] = fork();
      if (pids[i] != 0) continue;
      close(gate[1]);
      char go;
      if (read(gate[0], &go, 1) != 0 || chdir(box.prog.c_str()) != 0) _exit(127);
      std::string out = box.root + "/out" + std::to_string(i);
      if (!freopen(out.c_str(), "w", stdout) || dup2(1, 2) < 0) _exit(127);
      setenv("LD_PRELOAD", MINDER_FAKETIME, 1);
      setenv("FAKETIME", "+0 x100", 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
      execl(box.argv0.c_str(), box.argv0.c_str(), nullptr);
      _exit(127);
    }
    close(gate[0]);
    size_t before = box.starts(kid).size();
    close(gate[1]);  // both read end of file at once
    int status = -1;
    int loser = -1;
    ASSERT_TRUE(eventually([&] {
      for (int i = 0; i < 2 && loser < 0; ++i)
        if (waitpid(pids[i], &status, WNOHANG) == pids[i]) loser = i;
      return loser >= 0;
    }));
    pid_t winner = pids[1 - loser];
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Sandbox::read(box.root + "/out" + std::to_string(loser)), refusal);
    // The winner holds the lock and supervises; once its child runs, no
    // process but the winner holds the run file open.
    EXPECT_TRUE(eventually([&] { return box.starts(kid).size() == before + 1; }));
    EXPECT_TRUE(process_alive(winner));
    EXPECT_EQ(box.run_file(), box.prog + "\n");
    kill_daemon(winner);
    if (HasFailure()) break;
  }
}
