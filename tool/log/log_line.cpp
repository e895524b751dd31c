// SPDX-License-Identifier: MIT
// One line of a run file read with the daemon's own line formats: its time
// stamp, its child, its code; or a line of none of minder's. And a run file
// held in memory, parsed line by line.
#include <string.h>
#include <time.h>

#include <algorithm>

#include "log.hpp"
#include "log_fleet.hpp"
#include "log_stats.hpp"
#include "runfile.hpp"

namespace {

// Digits at text[at..at+n), space-padded on the left as asctime pads the
// day; -1 when they are not.
int digits(const std::string& text, size_t at, size_t n) {
  int v = 0;
  bool seen = false;
  for (size_t i = at; i < at + n; ++i) {
    char c = text[i];
    if (c == ' ' && !seen && i + 1 < at + n) continue;
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
    seen = true;
  }
  return v;
}

int name_index(const char* names, const std::string& text, size_t at) {
  for (int i = 0; names[i * 3]; ++i)
    if (text.compare(at, 3, names + i * 3, 3) == 0) return i;
  return -1;
}

// asctime's form, "Tue Dec  8 14:03:09 2026", read as UTC.
log_time parse_stamp(const std::string& s) {
  if (s.size() < 24 || s.size() > 30 || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' ||
      s[13] != ':' || s[16] != ':' || s[19] != ' ')
    return kNoTime;
  struct tm tm {};
  int month = name_index("JanFebMarAprMayJunJulAugSepOctNovDec", s, 4);
  tm.tm_mday = digits(s, 8, 2);
  tm.tm_hour = digits(s, 11, 2);
  tm.tm_min = digits(s, 14, 2);
  tm.tm_sec = digits(s, 17, 2);
  int year = digits(s, 20, s.size() - 20);
  if (name_index("SunMonTueWedThuFriSat", s, 0) < 0 || month < 0 || tm.tm_mday < 1 ||
      tm.tm_mday > 31 || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 ||
      tm.tm_sec < 0 || tm.tm_sec > 61 || year < 0 || s[20] == ' ')
    return kNoTime;
  tm.tm_mon = month;
  tm.tm_year = year - 1900;
  time_t t = timegm(&tm);
  return t < 0 ? kNoTime : t;
}

}  // namespace

log_event parse_line(const std::string& line, int number_of_line) {
  log_event e;
  e.line = number_of_line;
  std::vector<std::string> f;
  // The shortest line of minder's is an end with neither time nor name.
  if (line.size() <= kLongestLine && line.size() >= strlen(kSignalLine) - 5) {
    for (bool exited : {true, false}) {
      if (!match_format(exited ? kExitLine : kSignalLine, line, &f)) continue;
      e.when = parse_stamp(f[0]);
      if (!f[0].empty() && e.when == kNoTime) break;  // minder writes asctime or nothing
      e.kind = log_kind::end;
      e.stamp = f[0];
      e.child = f[1];
      e.code = field_number(f[2]);
      e.exited = exited;
      return e;
    }
    f.clear();
    if (match_format(kNotAliveLine, line, &f)) {
      e.kind = log_kind::not_alive;
      e.child = f[0];
      return e;
    }
    if (match_format(kCheckAliveFailedLine, line, &f)) {
      e.kind = log_kind::checker_failed;
      return e;
    }
  }
  e.kind = log_kind::damaged;
  e.text.assign(line, 0, kKeptText);
  return e;
}

namespace {

// Each line of text, as a file reader hands it over.
template <typename F>
void each_line(const std::string& text, F line) {
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    bool cut = eol == std::string::npos;
    size_t len = (cut ? text.size() : eol) - at;
    line(text.substr(at, std::min(len, kLongestLine + 1)), cut);
    at = cut ? text.size() : eol + 1;
  }
}

}  // namespace

log_result parse_log(const log_input& in) {
  log_reader reader(in.children, in.has_output);
  if (in.has_output)
    each_line(in.output_text, [&](const std::string& l, bool) { reader.output_line(l); });
  each_line(in.run_text, [&](const std::string& l, bool cut) { reader.run_line(l, cut); });
  return reader.finish();
}
