// SPDX-License-Identifier: MIT
// minder-tool rehearse: what its report and picture make of a phase, and what
// it requires of the board's root, without running one.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include "alive.hpp"
#include "harness.hpp"
#include "log.hpp"
#include "rehearsal.hpp"

namespace {

std::string run_line(int second, const std::string& what) {
  char stamp[64];
  snprintf(stamp, sizeof stamp, "Tue Dec  8 10:%02d:%02d 2026: ", second / 60, second % 60);
  return stamp + what + "\n";
}

child_start start(double at, const char* child, bool from_data = false) {
  child_start s;
  s.at = at;
  s.child = child;
  s.from_data = from_data;
  return s;
}

// A phase whose run file holds these ends, each seen at its time.
struct phase_of {
  rehearsal r;
  phase_result p;
  log_result log;
  void end(double at, const std::string& what) {
    if (p.run_text.empty()) p.run_text = "/opt/app/bin\n";
    p.run_text += run_line(static_cast<int>(at), what);
    p.event_at.push_back(at);
    p.ran = std::max(p.ran, at + 1);
  }
  std::string problems(int phase = 1) {
    log_input in;
    in.run_text = p.run_text;
    in.output_text = p.out_text;
    in.has_output = true;
    log = parse_log(in);
    std::string all;
    for (const std::string& s : end_problems(r, phase, p, log)) all += s + "\n";
    return all;
  }
};

}  // namespace

// One line per cause, with how often and when; the CPU judgement explains
// an illegal instruction; an exit with 129 after running is no failed start.
TEST(RehearseReport, OneLinePerCause) {
  phase_of f;
  f.r.children = {"uplink", "kidb"};
  f.r.dies.push_back({"program directory", "uplink",
                      "built for ARMv7-A, the board is ARMv5TE: it dies of an illegal instruction "
                      "at start and is restarted over and over"});
  for (double at : {0.2, 11.0, 40.0, 70.0}) {
    f.p.starts.push_back(start(at - 0.1, "uplink"));
    f.end(at, "uplink killed by signal(4)");
  }
  EXPECT_EQ(f.problems(),
            "uplink died of an illegal instruction (signal 4) 4 times from 0.2 s to 70 s: built "
            "for ARMv7-A, the board is ARMv5TE\n");

  f.p.starts.push_back(start(71, "kidb", true));
  f.end(101, "kidb exited normally with code(129)");
  f.p.out_text = "failed boot, then clean bootchk, and try again\n";
  EXPECT_NE(
      f.problems().find("kidb ended with 129 after running 30 s (the fallback ran) at 101 s\n"),
      std::string::npos)
      << f.problems();
}

// 131, 132 and 160 answered as minder answers them are no problem, nor is
// the requester's 130; a request in every cycle of a phase loops.
TEST(RehearseReport, RequestsUsedAsDesigned) {
  phase_of f;
  f.r.children = {"kida", "kidb"};
  f.end(1, "kida exited normally with code(130)");
  f.end(2, "kidb exited normally with code(131)");
  f.end(3, "kida exited normally with code(132)");
  f.end(5, "kidb exited normally with code(160)");
  f.end(9, "kida exited normally with code(1)");
  EXPECT_EQ(f.problems(2), "");

  phase_of loop;
  loop.r.children = {"kida", "kidb"};
  for (int at : {1, 2, 3}) loop.end(at, "kidb exited normally with code(160)");
  EXPECT_EQ(loop.problems(),
            "kidb asks for 160 3 times from 1.0 s to 3.0 s, in every cycle of the phase: the "
            "request loops\n");
  loop.end(4, "kida exited normally with code(131)");
  EXPECT_EQ(loop.problems(), "");
}

// A phase too short for a heartbeat kill says which --seconds would show one.
TEST(RehearseReport, PhaseLengthNotes) {
  rehearsal r;
  r.children = {"kida", "kidb"};
  EXPECT_TRUE(length_notes(r, 2).empty());
  r.watched = {"kidb"};
  int latest = static_cast<int>((kMissLimit + 1) * kCheckInterval);
  std::vector<std::string> notes = length_notes(r, 2);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find(std::to_string(latest) + " s when it came just before the request"),
            std::string::npos)
      << notes[0];
  EXPECT_NE(notes[0].find("this phase ran 60 s: --seconds " + std::to_string(latest + 10)),
            std::string::npos)
      << notes[0];
  r.seconds[0] = r.seconds[1] = r.seconds[2] = latest + 10;
  EXPECT_TRUE(length_notes(r, 1).empty());
}

// What minder runs through its shell must be found and work there; the
// loader a dynamic program asks for is judged by the root's files.
TEST(RehearseReport, JudgesTheRootsTools) {
  EXPECT_TRUE(root_lacks(1, 0).empty());  // killall of no process: 1
  std::vector<std::string> lacks = root_lacks(127, 1);
  ASSERT_EQ(lacks.size(), 2u);
  EXPECT_EQ(lacks[0],
            "no killall that minder's shell finds on its PATH (/sbin:/usr/sbin:/bin:/usr/bin): "
            "minder cannot end the children of an earlier cycle");
  EXPECT_EQ(lacks[1],
            "tar cannot read a gzip-compressed package (status 1): minder cannot unpack one");
  EXPECT_NE(root_lacks(0, 127)[0].find("no tar that"), std::string::npos);

  Sandbox box;
  std::string root = box.root + "/rootfs";
  ASSERT_EQ(system(("mkdir -p " + root + "/lib").c_str()), 0);
  rehearsal r;
  ASSERT_TRUE(arch_by_name("armhf", &r.b.id, &r.b.cpu));
  r.b.known = true;
  r.rootfs = root;
  Sandbox::write(root + "/lib/ld-linux-armhf.so.3", "");
  std::string why, glibc = arm_program("/lib/ld-linux-armhf.so.3"),
                   musl = arm_program("/lib/ld-musl-armhf.so.1");
  const char* error = "";
  auto judged = [&](const std::string& image) {
    return board_verdict(r, reinterpret_cast<const unsigned char*>(image.data()), image.size(),
                         &why, &error);
  };
  EXPECT_EQ(judged(glibc), verdict::runs) << why;
  EXPECT_EQ(judged(musl), verdict::refused);
  EXPECT_EQ(why, "its program interpreter /lib/ld-musl-armhf.so.1 is not in the board's root");
}

namespace {

std::string picture(const rehearsal& r, const std::vector<phase_result>& phases,
                    const std::vector<std::vector<std::string>>& problems) {
  std::vector<log_result> logs;
  for (const phase_result& p : phases) {
    log_input in;
    in.run_text = p.run_text;
    logs.push_back(parse_log(in));
  }
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  write_rehearsal_svg(f, r, phases, logs, problems);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

}  // namespace

// The picture: the verdict first, each start a span coloured by where it came
// from, an illegal instruction named, a calm phase said to be one.
TEST(RehearseReport, Picture) {
  rehearsal r;
  r.children = {"kida", "kidb"};
  std::vector<phase_result> calm(1);
  calm[0].title = "first boot";
  calm[0].ran = 20;
  calm[0].starts = {start(0.1, "kida"), start(0.1, "kidb")};
  std::string svg = picture(r, calm, {{}});
  EXPECT_NE(svg.find("rehearse: no problem"), std::string::npos);
  EXPECT_NE(svg.find("every child ran throughout the phase"), std::string::npos);
  EXPECT_EQ(count_of(svg, "<rect x="), 2 + 3);  // the spans and the legend

  phase_of f;
  f.r.children = {"kida", "kidb"};
  f.p.title = "the request";
  f.p.starts = {start(0.1, "kida"), start(0.1, "kidb"), start(2, "kidb", true),
                start(4, "kidb", true)};
  f.end(3, "kidb killed by signal(4)");
  f.end(5, "kidb killed by signal(4)");
  f.p.ran = 10;
  std::vector<phase_result> bad = {f.p};
  svg = picture(r, bad, {{"kidb died of an illegal instruction"}});
  EXPECT_LT(svg.find("1 problem(s)"), svg.find("phase 1, the request"));
  EXPECT_EQ(count_of(svg, ">illegal instruction</text>"), 2);
  EXPECT_EQ(count_of(svg, "fill=\"#3a9a5b\"><title>../data//kidb from"), 2);
  EXPECT_NE(svg.find("../data//kidb from 2.0 s to 3.0 s"), std::string::npos);
  EXPECT_EQ(svg.find("ran throughout"), std::string::npos);
}
