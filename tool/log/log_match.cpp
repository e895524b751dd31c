// SPDX-License-Identifier: MIT
// Matches a line against one of the daemon's printf formats, which hold only
// %s and %d: the run file and the standard output are read with the very
// texts the daemon writes them with.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "log.hpp"
#include "log_stats.hpp"

namespace {

bool match_here(const char* f, const char* fend, const char* t, const char* tend,
                std::vector<std::string>* fields);

// %s followed by the literal [lit, lit_end) and then more of the format.
bool match_text_field(const char* f, const char* fend, const char* t, const char* tend,
                      std::vector<std::string>* fields) {
  const char* lit_end = f;
  while (lit_end < fend && *lit_end != '%') ++lit_end;
  size_t lit_len = static_cast<size_t>(lit_end - f);
  if (lit_end == fend) {  // the last field: the literal ends the text
    if (static_cast<size_t>(tend - t) < lit_len || memcmp(tend - lit_len, f, lit_len) != 0)
      return false;
    fields->emplace_back(t, tend - lit_len);
    return true;
  }
  for (const char* at = t; static_cast<size_t>(tend - at) >= lit_len; ++at) {
    if (lit_len)
      at = static_cast<const char*>(memmem(at, static_cast<size_t>(tend - at), f, lit_len));
    if (!at) return false;
    fields->emplace_back(t, at);
    if (match_here(lit_end, fend, at + lit_len, tend, fields)) return true;
    fields->pop_back();
  }
  return false;
}

bool match_here(const char* f, const char* fend, const char* t, const char* tend,
                std::vector<std::string>* fields) {
  while (f < fend) {
    if (f[0] == '%' && f + 1 < fend && f[1] == 's')
      return match_text_field(f + 2, fend, t, tend, fields);
    if (f[0] == '%' && f + 1 < fend && f[1] == 'd') {
      const char* p = t < tend && *t == '-' ? t + 1 : t;
      const char* digits = p;
      while (p < tend && isdigit(static_cast<unsigned char>(*p))) ++p;
      if (p == digits || p - digits > 10) return false;
      fields->emplace_back(t, p);
      t = p;
      f += 2;
      continue;
    }
    if (t == tend || *f != *t) return false;
    ++f;
    ++t;
  }
  return t == tend;
}

}  // namespace

int field_number(const std::string& text) {
  long long v = strtoll(text.c_str(), nullptr, 10);
  return v > 2147483647 || v < -2147483647 ? 0 : static_cast<int>(v);
}

bool match_format(const char* format, const std::string& text, std::vector<std::string>* fields) {
  const char* fend = format + strlen(format);
  // The daemon's formats end in a newline; lines are matched without theirs.
  if (fend > format && fend[-1] == '\n' && (text.empty() || text.back() != '\n')) --fend;
  fields->clear();
  return match_here(format, fend, text.data(), text.data() + text.size(), fields);
}
