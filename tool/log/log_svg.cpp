// SPDX-License-Identifier: MIT
// The picture of one or more run files: for each, a band with a lane per
// child, a mark at each end coloured by its cause, vertical rules where a
// cycle ended, and a time axis with the device's dates. Plain SVG 1.1 without
// scripts. Of the ends that fall on one pixel column of a lane only the
// weightiest is drawn, and a run of equal columns as one shape, so that a
// full run file stays small and readable.
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "log.hpp"
#include "log_axis.hpp"

namespace {

constexpr int kLegend = 64, kTitle = 26, kLane = 22, kAxis = 40, kGap = 14;
constexpr size_t kMaxLanes = 12;  // children beyond share the last lane

struct style {
  const char* name;
  const char* colour;
};
// Marks, by end_cause, and last an illegal instruction (a signal of its own).
constexpr int kMarkCount = kEndCauses + 1, kIllegal = kEndCauses;
const style kMarks[kMarkCount] = {
    {"exit status", "#1f77b4"},    {"cannot start (129)", "#7b0000"},
    {"upgrade (130)", "#2ca02c"},  {"upgrade (131)", "#2ca02c"},
    {"upgrade (132)", "#2ca02c"},  {"new cycle (160)", "#17becf"},
    {"other signal", "#9467bd"},   {"segfault", "#d62728"},
    {"heartbeat kill", "#ff7f0e"}, {"illegal instruction", "#8c564b"},
};
// Which end a pixel column shows when several fall on it: the rare and
// weighty ones first.
const int kWeight[kMarkCount] = {0, 6, 5, 5, 5, 2, 1, 3, 4, 3};

int mark_of(const log_event& e) {
  bool illegal = e.cause == end_cause::signal && e.code == SIGILL;
  return illegal ? kIllegal : static_cast<int>(e.cause);
}
// Rules, by next_step (restart has none); a later one weighs more.
const style kRules[] = {{"", ""},
                        {"new cycle", "#17becf"},
                        {"upgrade", "#2ca02c"},
                        {"fallback", "#7b0000"},
                        {"fallback or end", "#7b0000"},
                        {"minder ended", "#000000"}};

std::string xml(const std::string& text, size_t max = 200) {
  std::string out;
  for (char c : printable(text, max)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void legend(FILE* out) {
  int x = 10, y = 20;
  fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"b\">Ends</text>\n", x, y);
  x += 50;
  for (int i = 0; i < kMarkCount; ++i) {
    if (i == 3 || i == 4) continue;  // one entry for the three upgrade requests
    const char* name = i == 2 ? "upgrade (130-132)" : kMarks[i].name;
    fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"3\" height=\"12\" fill=\"%s\"/>", x, y - 10,
            kMarks[i].colour);
    fprintf(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", x + 7, y, name);
    x += 16 + static_cast<int>(strlen(name)) * 7;
  }
  x = 10;
  y += 22;
  fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"b\">Rules</text>\n", x, y);
  x += 50;
  for (size_t i = 1; i < sizeof kRules / sizeof kRules[0]; ++i) {
    fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"r%zu\"/>", x + 1, y - 11,
            x + 1, y + 2, i);
    fprintf(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", x + 7, y, kRules[i].name);
    x += 24 + static_cast<int>(strlen(kRules[i].name)) * 7;
  }
  fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" class=\"w\"/>", x, y - 10);
  fprintf(out, "<text x=\"%d\" y=\"%d\">waiting to be started again</text>\n", x + 19, y);
  x += 200;
  fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" class=\"u\"/>", x, y - 10);
  fprintf(out, "<text x=\"%d\" y=\"%d\">running</text>\n", x + 19, y);
}

int lane_count(const log_result& r) {
  return static_cast<int>(std::max<size_t>(1, std::min(r.children.size(), kMaxLanes)));
}

// The lane of each child, and each lane's label with its number of ends.
std::map<std::string, int> lanes(FILE* out, const log_result& r, int y0) {
  std::map<std::string, int> lane;
  for (size_t i = 0; i < r.children.size(); ++i)
    lane.emplace(r.children[i].name, static_cast<int>(std::min(i, kMaxLanes - 1)));
  std::vector<int> ends(kMaxLanes);
  for (const log_event& e : r.events)
    if (e.kind == log_kind::end) ++ends[static_cast<size_t>(lane[e.child])];
  for (int i = 0; i < lane_count(r); ++i) {
    size_t n = static_cast<size_t>(i);
    std::string name = n >= r.children.size()                                ? "(no children)"
                       : n == kMaxLanes - 1 && r.children.size() > kMaxLanes ? "(other children)"
                                                                             : r.children[n].name;
    fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"l%d\"/>", kLeft,
            y0 + i * kLane, kPlot, kLane, i % 2);
    fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"n\">%s (%d)</text>\n", kLeft - 6,
            y0 + i * kLane + 15, xml(name, 24).c_str(), ends[n]);
  }
  return lane;
}

// Grey where a child waited to be started again, or (running) green where it
// ran before an end, and after its last restart to the end of the axis;
// overlapping spans merged.
void spans(FILE* out, const log_result& r, const axis& a, std::map<std::string, int>& lane, int y0,
           bool running) {
  if (!a.timed) return;
  std::vector<std::pair<int, int>> bar(kMaxLanes, {-1, -1});
  auto flush = [&](size_t l) {
    if (bar[l].first >= 0)
      fprintf(out, "<rect x=\"%d\" y=\"%zu\" width=\"%d\" height=\"%d\" class=\"%s\"/>\n",
              bar[l].first, y0 + l * kLane + (running ? 8 : 5),
              std::max(1, bar[l].second - bar[l].first), kLane - (running ? 16 : 10),
              running ? "u" : "w");
  };
  auto add = [&](size_t l, int from, int to) {
    if (from > bar[l].second + 1) {
      flush(l);
      bar[l].first = from;
    }
    bar[l].second = std::max(bar[l].second, to);
  };
  std::map<std::string, log_time> restarted;  // the last restart of each child
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    if (e.kind != log_kind::end || e.when == kNoTime) continue;
    size_t l = static_cast<size_t>(lane[e.child]);
    if (running && e.ran != kNoTime) add(l, a.x(a.at[i] - e.ran), a.x(a.at[i]));
    if (!running && e.next == next_step::restart) add(l, a.x(a.at[i]), a.x(a.at[i] + e.delay));
    restarted[e.child] = e.next == next_step::restart ? a.at[i] + e.delay : kNoTime;
  }
  for (const auto& last : restarted)
    if (running && last.second != kNoTime && last.second < a.to)
      add(static_cast<size_t>(lane[last.first]), a.x(last.second), a.x(a.to));
  for (size_t l = 0; l < kMaxLanes; ++l) flush(l);
}

// Runs of equal values in one row of pixel columns, none not drawn:
// draw(x, width, value).
template <typename F>
void columns(const int* px, int none, F draw) {
  for (int p = 0; p <= kPlot;) {
    int q = p;
    while (q < kPlot && px[q + 1] == px[p]) ++q;
    if (px[p] != none) draw(kLeft + p, q - p + 1, px[p]);
    p = q + 1;
  }
}

void band(FILE* out, const titled_log& t, int top) {
  const log_result& r = *t.log;
  axis a = make_axis(r);
  std::string span = r.first == kNoTime ? "no time stamps: events in file order"
                                        : r.first_stamp + " to " + r.last_stamp;
  if (t.from != kNoTime && t.to > t.from && (r.first != kNoTime || r.events.empty())) {
    a.timed = true;
    a.from = r.events.empty() ? t.from : std::min(a.from, t.from);
    a.to = r.events.empty() ? t.to : std::max(a.to, t.to);
    span = time_text(a.from) + " to " + time_text(a.to);
  }
  fprintf(out, "<text x=\"10\" y=\"%d\" class=\"b\">%s</text><text x=\"%d\" y=\"%d\">%s</text>\n",
          top + 17, xml(t.title, 24).c_str(), kLeft, top + 17, xml(span).c_str());
  int y0 = top + kTitle, bottom = y0 + lane_count(r) * kLane;
  std::map<std::string, int> lane = lanes(out, r, y0);
  spans(out, r, a, lane, y0, true);
  spans(out, r, a, lane, y0, false);
  // Per pixel column, the weightiest end of each lane and the weightiest rule.
  std::vector<int> marks(static_cast<size_t>(lane_count(r) * (kPlot + 1)), -1);
  std::vector<int> rules(kPlot + 1, 0);
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    if (e.kind != log_kind::end) continue;
    size_t px = static_cast<size_t>(a.x(a.at[i]) - kLeft);
    int& mark = marks[static_cast<size_t>(lane[e.child]) * (kPlot + 1) + px];
    int cause = mark_of(e);
    if (mark < 0 || kWeight[cause] > kWeight[mark]) mark = cause;
    rules[px] = std::max(rules[px], static_cast<int>(e.next));
  }
  for (int l = 0; l < lane_count(r); ++l)
    columns(&marks[static_cast<size_t>(l) * (kPlot + 1)], -1, [&](int x, int w, int c) {
      fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"c%d\"/>\n", x,
              y0 + l * kLane + 3, std::max(w, 2), kLane - 6, c);
    });
  columns(rules.data(), 0, [&](int x, int w, int rule) {
    if (w == 1)
      fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"r%d\"/>\n", x, y0 - 2, x,
              bottom + 2, rule);
    else
      fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"q%d\"/>\n", x,
              y0 - 2, w, bottom - y0 + 4, rule);
  });
  time_axis(out, a, bottom);
}

}  // namespace

void write_log_svg(FILE* out, const std::vector<titled_log>& logs) {
  int height = kLegend;
  for (const titled_log& t : logs) height += kTitle + lane_count(*t.log) * kLane + kAxis + kGap;
  fprintf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%d\" height=\"%d\" "
          "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
          "<title>minder run file</title>\n<style type=\"text/css\">\n"
          ".b{font-weight:bold} .m{text-anchor:middle;font-size:11px} .n{text-anchor:end}\n"
          ".l0{fill:#f4f4f4} .l1{fill:#e8e8e8} .ax{stroke:#444} .w{fill:#c4c4c4} "
          ".u{fill:#9fd39f}\n",
          kWidth, height, kWidth, height);
  for (int i = 0; i < kMarkCount; ++i) fprintf(out, ".c%d{fill:%s}\n", i, kMarks[i].colour);
  for (size_t i = 1; i < sizeof kRules / sizeof kRules[0]; ++i)
    fprintf(out, ".q%zu{fill:%s;opacity:.3} .r%zu{stroke:%s;stroke-dasharray:%s}\n", i,
            kRules[i].colour, i, kRules[i].colour,
            i == 3 || i == 5 ? "none"
            : i == 4         ? "2,2"
                             : "5,3");
  fprintf(out, "</style>\n<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", kWidth, height);
  legend(out);
  int top = kLegend;
  for (const titled_log& t : logs) {
    band(out, t, top);
    top += kTitle + lane_count(*t.log) * kLane + kAxis + kGap;
  }
  fprintf(out, "</svg>\n");
}
