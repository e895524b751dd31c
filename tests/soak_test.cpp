// SPDX-License-Identifier: MIT
// Many ends in a row: the daemon's descriptors and memory stay flat, ended
// children are collected, every end is logged, and the run file is cut back
// before it would pass 1 MiB.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "harness.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantine grow the RSS
#else
constexpr bool kSanitized = false;
#endif

long status_field(pid_t pid, const std::string& key) {
  std::string status = Sandbox::read("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find(key + ":");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + key.size() + 1);
}

int open_fds(pid_t pid) {
  int n = 0;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

struct Sample {
  int fds;
  long rss_kb;
  int children;  // processes whose parent is the daemon, zombies included
  int zombies;
  bool in_delay;  // the main thread slept in one restart delay throughout
};

Sample sample(pid_t pid) {
  std::string syscall_path = "/proc/" + std::to_string(pid) + "/syscall";
  std::string call = Sandbox::read(syscall_path);
  std::string wchan = Sandbox::read("/proc/" + std::to_string(pid) + "/wchan");
  long switches = status_field(pid, "voluntary_ctxt_switches");
  Sample s{open_fds(pid), status_field(pid, "VmRSS"), 0, 0, false};
  if (DIR* dir = opendir("/proc")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string stat = Sandbox::read(std::string("/proc/") + e->d_name + "/stat");
      size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 4 > stat.size()) continue;
      if (atoi(stat.c_str() + close + 4) != pid) continue;
      ++s.children;
      s.zombies += stat[close + 2] == 'Z';
    }
    closedir(dir);
  }
  // Where the main thread waits ("hrtimer_nanosleep" in a delay, whatever
  // the call's number on this architecture or under an emulator).
  s.in_delay = wchan.find("nanosleep") != std::string::npos &&
               Sandbox::read(syscall_path) == call &&
               status_field(pid, "voluntary_ctxt_switches") == switches;
  return s;
}

}  // namespace

// Four children exit at once, 80 times each, then stay. A slot whose child
// ended has no process until its delay is over, so the daemon never has more
// than four children; while the main thread sleeps in a delay the sleeping
// slot has none, so at most three ended children wait to be collected (a
// fourth can exist only between a restart's fork and the next waitpid).
TEST(Soak, FourChildrenEndingAtOnce) {
  constexpr int kRounds = 80;
  Sandbox box;
  std::vector<std::string> kids;
  for (const char* base : {"soaka", "soakb", "soakc", "soakd"}) {
    kids.push_back(box.child(base));
    std::string plan;
    for (int i = 0; i < kRounds; ++i) plan += "exit 1\n";
    box.plan(kids.back(), plan + "stay\n");
  }
  box.config(config_for(kids));
  // Delays of 20 ms: long enough for a sample to fall inside one, also on a
  // machine whose cores are all busy.
  box.start({}, 500);
  auto started = [&] {
    size_t n = 0;
    for (const auto& k : kids) n += box.starts(k).size();
    return n;
  };
  std::vector<Sample> samples;
  auto settled = [&] {
    samples.push_back(sample(box.pid));
    return started() == 4 * (kRounds + 1) && samples.back().children == 4 &&
           samples.back().zombies == 0;
  };
  ASSERT_TRUE(eventually([&] { return started() >= 40; }, 60));
  Sample first = sample(box.pid);
  ASSERT_TRUE(eventually(settled, 180)) << started() << " starts";
  Sample last = samples.back();
  int delays = 0;
  for (const Sample& s : samples) {
    EXPECT_LE(s.children, 4);
    EXPECT_TRUE(!s.in_delay || s.zombies <= 3) << s.zombies << " zombies during a delay";
    delays += s.in_delay;
  }
  EXPECT_GT(delays, 0) << "no sample fell into a restart delay";
  EXPECT_EQ(last.fds, first.fds);
  EXPECT_TRUE(kSanitized || last.rss_kb <= first.rss_kb + 64)
      << first.rss_kb << " kB, then " << last.rss_kb << " kB";
  std::string run = box.run_file();
  // One exit line per end: every start but the four running children ended.
  EXPECT_EQ(count_of(run, "\n") - 1, static_cast<int>(started()) - 4);
  for (const auto& k : kids)
    EXPECT_EQ(count_of(run, " " + k + " exited normally with code(1)\n"), kRounds);
}

// Children named by a 3.6 KB relative path, watched and never beating: every
// third check logs a 3.6 KB "not alive" line for each, and each kill adds an
// exit line cut to 255 bytes. The run file is cut back to its first line
// before a line would take it past 1 MiB; lines from both threads stay whole,
// and the daemon keeps its locked descriptor.
TEST(Soak, RunFileCutBackAtOneMebibyte) {
  constexpr long kLimit = 1024 * 1024;
  Sandbox box;
  std::string dir;
  for (int i = 0; i < 18; ++i) {
    dir += (dir.empty() ? "d" : "/d") + std::string(199, '0' + i % 10);
    ASSERT_EQ(mkdir((box.prog + "/" + dir).c_str(), 0755), 0);
  }
  std::vector<std::string> names;
  std::string procs;
  for (const char* base : {"cuta", "cutb", "cutc", "cutd"}) {
    std::string kid = box.child(base);
    names.push_back(dir + "/" + kid);
    ASSERT_EQ(rename((box.prog + "/" + kid).c_str(), (box.prog + "/" + names.back()).c_str()), 0);
    procs += (procs.empty() ? "" : ",") + ("{\"base\":\"" + names.back() + "\",\"excheck\":true}");
  }
  box.config(R"({"__watch":{"processes":[)" + procs + "]}}");
  box.start({}, 10000);
  const size_t head = box.prog.size() + 1;
  long size = 0;
  long largest = 0;
  bool cut = false;
  auto lines_after_cut = [&] {
    struct stat st;
    if (stat(box.run_path().c_str(), &st) != 0) return false;
    cut = cut || st.st_size < size;
    size = st.st_size;
    largest = std::max(largest, size);
    return cut && size > 64 * 1024;
  };
  ASSERT_TRUE(eventually(lines_after_cut, 240)) << largest << " bytes at most";
  EXPECT_LE(largest, kLimit);
  EXPECT_GT(largest, kLimit - 64 * 1024);
  std::string run = box.run_file();
  ASSERT_EQ(run.substr(0, head), box.prog + "\n");
  static const std::regex stamp(
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: ");
  int hung = 0;
  int ends = 0;
  for (size_t at = head, eol; at < run.size(); at = eol + 1) {
    eol = run.find('\n', at);
    ASSERT_NE(eol, std::string::npos) << "a torn last line";
    std::string line = run.substr(at, eol + 1 - at);
    bool is_hung = false;
    for (const auto& n : names)
      is_hung = is_hung || line == n + " is not alive, and we will kill it.\n";
    bool is_end = line.size() == 255 &&
                  std::regex_search(line, stamp, std::regex_constants::match_continuous) &&
                  line.compare(26, 228, dir, 0, 228) == 0;
    ASSERT_TRUE(is_hung || is_end) << line.substr(0, 80) << "... (" << line.size() << " bytes)";
    hung += is_hung;
    ends += is_end;
  }
  EXPECT_GT(hung, 4);
  EXPECT_GT(ends, 4);
  // The daemon still holds the lock on the run file.
  int fd = open(box.run_path().c_str(), O_RDONLY);
  EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}
