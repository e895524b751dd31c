// SPDX-License-Identifier: MIT
// The run file: its lock, its first line, the size-bounded event log and its
// event lines.
#include "runfile.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <thread>

#include "harness.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(RunFile, LockIsExclusiveAndLeavesHolderUntouched) {
  Sandbox box;
  const std::string path = box.root + "/x.run";
  Sandbox::write(path, "stale lines from an earlier run\n");
  int fd = lock_run_file(path.c_str(), "/prog/dir", 9);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Sandbox::read(path), "/prog/dir");
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

  // A link or a FIFO planted at the run file's path is never opened through.
  const std::string target = box.root + "/target", link = box.root + "/l.run",
                    fifo = box.root + "/f.run";
  Sandbox::write(target, "precious");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()) | mkfifo(fifo.c_str(), 0600), 0);
  struct {
    const char* path;
    std::string message;
  } refused[] = {{path.c_str(), "already in use for " + path + "\n"},
                 {nullptr, "NULL file name\n"},
                 {"/nonexistent-dir/x.run", "failed to open /nonexistent-dir/x.run\n"},
                 {link.c_str(), "failed to open " + link + "\n"},
                 {fifo.c_str(), "failed to open " + fifo + "\n"}};
  for (const auto& c : refused) {
    CaptureStdout();
    EXPECT_EQ(lock_run_file(c.path, "other", 5), -1);
    EXPECT_EQ(GetCapturedStdout(), c.message);
  }
  EXPECT_EQ(Sandbox::read(path), "/prog/dir");
  EXPECT_EQ(Sandbox::read(target), "precious");
  // Another user's link is not ours to refuse: it goes, and a file of our own
  // takes its place.
  if (geteuid() == 0 && lchown(link.c_str(), 60000, 60000) == 0) {
    int own = lock_run_file(link.c_str(), "mine", 4);
    EXPECT_GE(own, 0);
    EXPECT_EQ(Sandbox::read(link), "mine");
    EXPECT_EQ(Sandbox::read(target), "precious");
    close(own);
  }
  close(fd);
  fd = lock_run_file(path.c_str(), "", 0);  // free again once the holder is gone
  EXPECT_GE(fd, 0);
  EXPECT_EQ(Sandbox::read(path), "");
  close(fd);
}

TEST(RunFile, OpenWritesWorkingDirectoryAndRefusesSecond) {
  Sandbox box;
  auto first = std::make_unique<supervisor_state>();
  auto second = std::make_unique<supervisor_state>();
  snprintf(first->run_path, kPathSize, "%s/y.run", box.root.c_str());
  snprintf(second->run_path, kPathSize, "%s/y.run", box.root.c_str());
  char cwd[kPathSize];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(open_run_file("/p/minder", *first), 0);
  EXPECT_EQ(Sandbox::read(first->run_path), std::string(cwd) + "\n");
  CaptureStdout();
  EXPECT_EQ(open_run_file("/q/minder", *second), -1);
  EXPECT_EQ(GetCapturedStdout(), "already in use for " + std::string(first->run_path) +
                                     "\nprocess(/q/minder) already run\n");
  EXPECT_LT(second->run_fd, 0);
  close(first->run_fd);
}

TEST(RunFile, LogIsCutBackToFirstLineBeforeLimit) {
  EXPECT_EQ(log_write(0, "x\n", 2), -1);
  EXPECT_EQ(log_write(-1, "x\n", 2), -1);
  Sandbox box;
  const std::string path = box.root + "/z.run";
  // 1023 lines after the first take the file to exactly 1 MiB; the next one may not.
  const std::string head = "/" + std::string(1022, 'h') + "\n";
  int fd = lock_run_file(path.c_str(), head.data(), static_cast<int32_t>(head.size()));
  ASSERT_GE(fd, 0);
  const std::string line = std::string(1023, 'e') + "\n";
  for (int i = 0; i < 1100; ++i) {
    ASSERT_EQ(log_write(fd, line.data(), static_cast<int32_t>(line.size())), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    ASSERT_EQ(st.st_size,
              static_cast<off_t>(head.size() + (i < 1023 ? i + 1 : i - 1022) * line.size()))
        << i;
  }
  std::string want = head;
  for (int i = 1023; i < 1100; ++i) want += line;
  EXPECT_EQ(Sandbox::read(path), want);
  CaptureStdout();
  EXPECT_EQ(lock_run_file(path.c_str(), "", 0), -1);  // the lock is still held
  EXPECT_EQ(GetCapturedStdout(), "already in use for " + path + "\n");
  close(fd);
}

// A writer that finds the other thread's line under way sleeps until it is
// written, rather than spinning: here that line is stuck on a full pipe.
TEST(RunFile, WriterWaitsWithoutSpinning) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const std::string big(1 << 18, 'x');
  std::thread first([&] { log_write(pipe_fds[1], big.data(), static_cast<int32_t>(big.size())); });
  ASSERT_TRUE(eventually([&] {
    int queued = 0;
    return ioctl(pipe_fds[0], FIONREAD, &queued) == 0 && queued >= 4096;
  }));
  double cpu = -1;
  std::thread second([&] {
    timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    log_write(pipe_fds[1], "y\n", 2);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    cpu = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  char buf[65536];
  size_t left = big.size() + 2;
  while (left > 0) {
    ssize_t n = read(pipe_fds[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    left -= static_cast<size_t>(n);
  }
  first.join();
  second.join();
  EXPECT_LT(cpu, 0.1) << "seconds of CPU spent waiting";
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST(ExitLine, FormatsAndCuts) {
  char line[256];
  struct {
    int code, exited;
    std::string name, want;
  } cases[] = {{3, 1, "kid", "WHEN: kid exited normally with code(3)\n"},
               {9, 0, "kid", "WHEN: kid killed by signal(9)\n"}};
  for (const auto& c : cases) {
    int n = format_exit_line(line, sizeof line, "WHEN", c.code, c.exited, c.name.c_str());
    EXPECT_EQ(std::string(line, n), c.want);
  }
  const std::string name(400, 'n');
  ASSERT_EQ(format_exit_line(line, sizeof line, "WHEN", 1, 1, name.c_str()), 255);
  EXPECT_EQ(std::string(line), "WHEN: " + name.substr(0, 248) + "\n");

  Sandbox box;
  const std::string path = box.root + "/log";
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  log_exit(11, 0, "kid", fd);
  log_exit(0, 1, "kid", fd);
  close(fd);
  const std::string stamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})";
  EXPECT_TRUE(std::regex_match(Sandbox::read(path),
                               std::regex(stamp + ": kid killed by signal\\(11\\)\n" + stamp +
                                          ": kid exited normally with code\\(0\\)\n")))
      << Sandbox::read(path);
}
