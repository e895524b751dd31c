// SPDX-License-Identifier: MIT
// The picture of one or more run files: for each, a band with a lane per
// child, a mark at each end coloured by its cause, vertical rules where a
// cycle ended, and a time axis with the device's dates. Plain SVG 1.1 without
// scripts. Marks that would fall on the same pixel of a lane with the same
// cause are drawn once, so that a full run file stays small and readable.
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "log.hpp"

namespace {

constexpr int kWidth = 1000, kLeft = 170, kRight = 20, kPlot = kWidth - kLeft - kRight, kPad = 6;
constexpr int kLegend = 64, kTitle = 26, kLane = 22, kAxis = 40, kGap = 14;
constexpr size_t kMaxLanes = 12;  // children beyond share the last lane

struct style {
  const char* name;
  const char* colour;
};
// Marks, by end_cause.
const style kMarks[kEndCauses] = {
    {"exit status", "#1f77b4"},   {"cannot start (129)", "#7b0000"}, {"upgrade (130)", "#2ca02c"},
    {"upgrade (131)", "#2ca02c"}, {"upgrade (132)", "#2ca02c"},      {"new cycle (160)", "#17becf"},
    {"other signal", "#9467bd"},  {"segfault", "#d62728"},           {"heartbeat kill", "#ff7f0e"},
};
// Rules, by next_step (restart has none).
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

// Where each event sits on the axis: its time, or for a line without one the
// time before it; never earlier than the event before (a clock set back).
// Without any time stamp, the events' order.
struct axis {
  std::vector<log_time> at;
  log_time from = 0, to = 1;
  bool timed = false;
  // Inside the plot, a few pixels off its edges.
  int x(log_time t) const {
    double f = std::min(1.0, std::max(0.0, static_cast<double>(t - from) / (to - from)));
    return kLeft + kPad + static_cast<int>(f * (kPlot - 2 * kPad));
  }
};

axis make_axis(const log_result& r) {
  axis a;
  log_time known = r.first;
  a.timed = known != kNoTime;
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    if (!a.timed)
      known = static_cast<log_time>(i);
    else if (e.when != kNoTime)
      known = std::max(known, e.when);
    a.at.push_back(known);
  }
  if (!a.at.empty()) {
    a.from = a.at.front();
    a.to = a.at.back();
  }
  if (a.to <= a.from) a.to = a.from + 1;
  return a;
}

void legend(FILE* out) {
  int x = 10, y = 20;
  fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"b\">Ends</text>\n", x, y);
  x += 40;
  for (int i = 0; i < kEndCauses; ++i) {
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
  x += 40;
  for (size_t i = 1; i < sizeof kRules / sizeof kRules[0]; ++i) {
    fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"r%zu\"/>", x + 1, y - 11,
            x + 1, y + 2, i);
    fprintf(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", x + 7, y, kRules[i].name);
    x += 24 + static_cast<int>(strlen(kRules[i].name)) * 7;
  }
  fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" class=\"w\"/>", x, y - 10);
  fprintf(out, "<text x=\"%d\" y=\"%d\">waiting to be started again</text>\n", x + 19, y);
}

// A tick every step seconds, labelled with the time, and the date where it changes.
void time_axis(FILE* out, const axis& a, int y) {
  const log_time steps[] = {1,     2,     5,      10,     15,      30,      60,    120,
                            300,   600,   900,    1800,   3600,    7200,    10800, 21600,
                            43200, 86400, 172800, 604800, 2592000, 31536000};
  log_time step = steps[sizeof steps / sizeof steps[0] - 1];
  for (log_time s : steps)
    if ((a.to - a.from) / s <= 8) {
      step = s;
      break;
    }
  if ((a.to - a.from) / step > 8) step = (a.to - a.from) / 8 + 1;
  fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"ax\"/>\n", kLeft, y,
          kLeft + kPlot, y);
  std::string last_date;
  for (log_time t = (a.from + step - 1) / step * step; t <= a.to; t += step) {
    int x = a.x(t);
    fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"ax\"/>", x, y, x, y + 4);
    char label[64] = "", date[64] = "";
    time_t when = static_cast<time_t>(t);
    struct tm tm;
    if (!a.timed) {
      snprintf(label, sizeof label, "event %lld", t + 1);
    } else if (gmtime_r(&when, &tm)) {
      strftime(label, sizeof label, step < 60 ? "%H:%M:%S" : step < 86400 ? "%H:%M" : "%b %d", &tm);
      strftime(date, sizeof date, "%a %b %d %Y", &tm);
    }
    fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"m\">%s</text>", x, y + 16, label);
    if (step < 86400 && last_date != date)
      fprintf(out, "<text x=\"%d\" y=\"%d\" class=\"m\">%s</text>", x, y + 30, date);
    fputc('\n', out);
    last_date = date;
  }
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

// Grey where a child waited to be started again, overlapping waits merged.
void waits(FILE* out, const log_result& r, const axis& a, std::map<std::string, int>& lane,
           int y0) {
  if (!a.timed) return;
  std::vector<std::pair<int, int>> bar(kMaxLanes, {-1, -1});
  auto flush = [&](size_t l) {
    if (bar[l].first >= 0)
      fprintf(out, "<rect x=\"%d\" y=\"%zu\" width=\"%d\" height=\"%d\" class=\"w\"/>\n",
              bar[l].first, y0 + l * kLane + 5, std::max(1, bar[l].second - bar[l].first),
              kLane - 10);
  };
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    if (e.kind != log_kind::end || e.next != next_step::restart || e.when == kNoTime) continue;
    size_t l = static_cast<size_t>(lane[e.child]);
    int from = a.x(a.at[i]), to = a.x(a.at[i] + e.delay);
    if (from > bar[l].second + 1) {
      flush(l);
      bar[l].first = from;
    }
    bar[l].second = std::max(bar[l].second, to);
  }
  for (size_t l = 0; l < kMaxLanes; ++l) flush(l);
}

void band(FILE* out, const titled_log& t, int top) {
  const log_result& r = *t.log;
  axis a = make_axis(r);
  std::string span = r.first == kNoTime ? "no time stamps: events in file order"
                                        : r.first_stamp + " to " + r.last_stamp;
  fprintf(out, "<text x=\"10\" y=\"%d\" class=\"b\">%s</text><text x=\"%d\" y=\"%d\">%s</text>\n",
          top + 17, xml(t.title, 24).c_str(), kLeft, top + 17, xml(span).c_str());
  int y0 = top + kTitle, bottom = y0 + lane_count(r) * kLane;
  std::map<std::string, int> lane = lanes(out, r, y0);
  waits(out, r, a, lane, y0);
  std::set<std::tuple<int, int, int>> drawn;  // lane (-1: a rule), pixel, style
  for (size_t i = 0; i < r.events.size(); ++i) {
    const log_event& e = r.events[i];
    if (e.kind != log_kind::end) continue;
    int x = a.x(a.at[i]), l = lane[e.child], c = static_cast<int>(e.cause);
    if (drawn.insert({l, x, c}).second)
      fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"c%d\"/>\n", x,
              y0 + l * kLane + 3, x, y0 + (l + 1) * kLane - 3, c);
    int rule = static_cast<int>(e.next);
    if (e.next != next_step::restart && drawn.insert({-1, x, rule}).second)
      fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"r%d\"/>\n", x, y0 - 2, x,
              bottom + 2, rule);
  }
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
          ".l0{fill:#f4f4f4} .l1{fill:#e8e8e8} .ax{stroke:#444} .w{fill:#c4c4c4}\n",
          kWidth, height, kWidth, height);
  for (int i = 0; i < kEndCauses; ++i)
    fprintf(out, ".c%d{stroke:%s;stroke-width:2}\n", i, kMarks[i].colour);
  for (size_t i = 1; i < sizeof kRules / sizeof kRules[0]; ++i)
    fprintf(out, ".r%zu{stroke:%s;stroke-width:1;stroke-dasharray:%s}\n", i, kRules[i].colour,
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
