// SPDX-License-Identifier: MIT
// The picture's time axis.
#include "log_axis.hpp"

#include <time.h>

#include <algorithm>
#include <string>

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

// A tick every step seconds, labelled with the time, and with the date where
// it changes.
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
