// SPDX-License-Identifier: MIT
// The rehearsal as a picture: the verdict and its problems at the top, then a
// band per phase with a lane per child, each start drawn as a span until its
// end, coloured by where it started from, each end marked and named.
#include <stdio.h>

#include <algorithm>

#include "log.hpp"
#include "rehearsal.hpp"

namespace {

constexpr double kWidth = 960, kLeft = 170, kRight = 930, kLane = 26;
const char kShipped[] = "#4a7fc1", kData[] = "#3a9a5b", kRequester[] = "#9a9a9a";

std::string xml(const std::string& text) {
  std::string out;
  for (char c : printable(text, 160)) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

// An end in a few words, and whether it is a crash or a failure to start.
std::string end_label(const log_event& e, bool* bad) {
  *bad = true;
  if (e.cause == end_cause::segfault) return "segfault";
  if (e.cause == end_cause::heartbeat_kill) return "heartbeat kill";
  if (e.cause == end_cause::signal && e.code == 4) return "illegal instruction";
  if (e.cause == end_cause::signal) return "signal " + std::to_string(e.code);
  if (e.cause == end_cause::cannot_start) return "exit 129";
  *bad = false;
  if (e.cause == end_cause::exit_status) return "exit " + std::to_string(e.code);
  return "request " + std::to_string(e.code);
}

struct band {
  const rehearsal& r;
  const phase_result& p;
  const log_result& log;
  double top;
  double x(double at) const {
    double span = std::max(p.ran, 1.0);
    return kLeft + (kRight - kLeft) * std::min(std::max(at, 0.0), span) / span;
  }
};

// The child's ends: when, and the event.
std::vector<std::pair<double, const log_event*>> ends_of(const band& b, const std::string& child) {
  std::vector<std::pair<double, const log_event*>> out;
  for (size_t i = 0; i < b.log.events.size(); ++i)
    if (b.log.events[i].kind == log_kind::end && b.log.events[i].child == child)
      out.push_back({i < b.p.event_at.size() ? b.p.event_at[i] : b.p.ran, &b.log.events[i]});
  return out;
}

// One child's lane; whether it ran throughout (one start at once, no end).
bool draw_lane(FILE* f, const band& b, const std::string& child, double y) {
  fprintf(f, "<text x=\"10\" y=\"%.0f\" font-size=\"12\">%s</text>\n", y + 16, xml(child).c_str());
  fprintf(f, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#ddd\"/>\n", kLeft,
          y + 12, kRight, y + 12);
  auto ends = ends_of(b, child);
  int starts = 0;
  for (size_t i = 0; i < b.p.starts.size(); ++i) {
    const child_start& s = b.p.starts[i];
    if (s.child != child) continue;
    ++starts;
    // Until its end (the first after it, before the child's next start), or
    // until its next start (minder ended it unlogged for a new cycle), or the
    // phase's end.
    double to = b.p.ran;
    for (size_t k = i + 1; k < b.p.starts.size(); ++k)
      if (b.p.starts[k].child == child) {
        to = b.p.starts[k].at;
        break;
      }
    for (auto& [at, e] : ends)
      if (at >= s.at && at <= to) {
        to = at;
        break;
      }
    const char* colour = s.requester ? kRequester : s.from_data ? kData : kShipped;
    fprintf(f,
            "<rect x=\"%.1f\" y=\"%.0f\" width=\"%.1f\" height=\"14\" fill=\"%s\"><title>%s from "
            "%.1f s to %.1f s</title></rect>\n",
            b.x(s.at), y + 5, std::max(b.x(to) - b.x(s.at), 2.0), colour,
            xml((s.from_data ? "../data//" : "") + child).c_str(), s.at, to);
  }
  double label_end = 0;
  for (auto& [at, e] : ends) {
    bool bad = false;
    std::string label = end_label(*e, &bad);
    const char* colour = bad ? "#c0392b" : "#7d3c98";
    fprintf(f,
            "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" stroke=\"%s\" "
            "stroke-width=\"2\"/>\n",
            b.x(at), y + 2, b.x(at), y + 22, colour);
    if (b.x(at) < label_end) continue;  // a label beside the last would overlap it
    fprintf(f, "<text x=\"%.1f\" y=\"%.0f\" font-size=\"10\" fill=\"%s\">%s</text>\n", b.x(at) + 3,
            y + 2, colour, xml(label).c_str());
    label_end = b.x(at) + 6.5 * static_cast<double>(label.size()) + 8;
  }
  if (starts == 0)
    fprintf(f, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"11\" fill=\"#c0392b\">not started</text>\n",
            kLeft + 4, y + 16);
  return starts == 1 && ends.empty();
}

double draw_band(FILE* f, const band& b, int phase, bool calm) {
  double y = b.top;
  fprintf(f, "<text x=\"10\" y=\"%.0f\" font-size=\"14\" font-weight=\"bold\">phase %d, %s: %.0f s",
          y + 14, phase, b.p.title, b.p.ran);
  if (phase == 2 && b.p.request >= 0) fprintf(f, ", the request at %.1f s", b.p.request);
  fprintf(f, "</text>\n");
  y += 22;
  for (int t = 0; t <= 4; ++t) {
    double at = b.p.ran * t / 4;
    fprintf(f,
            "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" stroke=\"#eee\"/>"
            "<text x=\"%.1f\" y=\"%.0f\" font-size=\"10\" fill=\"#777\">%.*f s</text>\n",
            b.x(at), y, b.x(at), y + kLane * static_cast<double>(b.r.children.size()), b.x(at) - 6,
            y + kLane * static_cast<double>(b.r.children.size()) + 12, b.p.ran < 10 ? 1 : 0, at);
  }
  bool throughout = !b.p.setup.empty() ? false : true;
  for (const std::string& c : b.r.children) {
    throughout = draw_lane(f, b, c, y) && throughout;
    y += kLane;
  }
  y += 28;
  std::string said = !b.p.setup.empty() ? "the phase could not run: " + b.p.setup
                     : throughout       ? "every child ran throughout the phase"
                                        : "";
  if (!said.empty())
    fprintf(f, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\" fill=\"%s\">%s</text>\n", kLeft, y + 4,
            !throughout ? "#c0392b"
            : calm      ? "#3a9a5b"
                        : "#555",
            xml(said).c_str());
  return y + 22;
}

}  // namespace

void write_rehearsal_svg(FILE* f, const rehearsal& r, const std::vector<phase_result>& phases,
                         const std::vector<log_result>& logs,
                         const std::vector<std::vector<std::string>>& problems) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < problems.size(); ++i)
    for (const std::string& p : problems[i])
      lines.push_back("phase " + std::to_string(i + 1) + ": " + p);
  size_t shown = std::min<size_t>(lines.size(), 8);
  double band_height = 72 + kLane * static_cast<double>(r.children.size());
  double height =
      90 + 16 * static_cast<double>(shown) + band_height * static_cast<double>(phases.size());
  fprintf(f,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%.0f\" "
          "height=\"%.0f\" font-family=\"sans-serif\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
          kWidth, height);
  std::string verdict = lines.empty()
                            ? "no problem"
                            : std::to_string(lines.size()) + " problem(s): on the board this " +
                                  (r.package.empty() ? "program directory" : "upgrade") +
                                  " would not run as it should";
  fprintf(f,
          "<text x=\"10\" y=\"24\" font-size=\"18\" font-weight=\"bold\" fill=\"%s\">"
          "rehearse: %s</text>\n",
          lines.empty() ? "#3a9a5b" : "#c0392b", xml(verdict).c_str());
  double y = 44;
  for (size_t i = 0; i < shown; ++i, y += 16)
    fprintf(f, "<text x=\"10\" y=\"%.0f\" font-size=\"12\">%s</text>\n", y, xml(lines[i]).c_str());
  if (lines.size() > shown)
    fprintf(f, "<text x=\"10\" y=\"%.0f\" font-size=\"12\">and %zu more</text>\n", y,
            lines.size() - shown);
  y += 4;
  const char* legend[][2] = {{kShipped, "started from the program directory"},
                             {kData, "started from ../data//"},
                             {kRequester, "the requester"}};
  for (int i = 0; i < 3; ++i)
    fprintf(f,
            "<rect x=\"%d\" y=\"%.0f\" width=\"14\" height=\"10\" fill=\"%s\"/>"
            "<text x=\"%d\" y=\"%.0f\" font-size=\"11\">%s</text>\n",
            10 + 250 * i, y, legend[i][0], 28 + 250 * i, y + 9, legend[i][1]);
  y += 24;
  for (size_t i = 0; i < phases.size(); ++i)
    y = draw_band(f, band{r, phases[i], logs[i], y}, static_cast<int>(i) + 1,
                  i >= problems.size() || problems[i].empty());
  fprintf(f, "</svg>\n");
}
