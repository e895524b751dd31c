// SPDX-License-Identifier: MIT
// Inside the log part: JSON written as it comes, for a fleet's worth of
// objects a second.
#pragma once

#include <algorithm>
#include <string>

#include "log.hpp"

// Objects and arrays written as they come: a comma before each member but
// the first of its object.
class json_writer {
 public:
  std::string text;
  void open(const char* key, char bracket) {
    if (key)
      name(key);
    else
      comma();
    text.append(1, bracket);
    first_ = true;
  }
  void close(char bracket) {
    text.append(1, bracket);
    first_ = false;
  }
  void str(const char* key, const std::string& value, size_t max = 4096) {
    name(key);
    bool plain = value.size() <= max && std::all_of(value.begin(), value.end(),
                                                    [](char c) { return c >= ' ' && c < 127; });
    if (plain)
      quoted(value);
    else
      quoted(printable(value, max));
  }
  void id(const char* key, const char* value) {
    name(key);
    quoted(value);
  }
  void item(const char* value) {
    comma();
    quoted(value);
  }
  void num(const char* key, long long n) {
    name(key);
    char digits[24];
    char* p = digits + sizeof digits;
    unsigned long long v = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : n;
    do *--p = static_cast<char>('0' + v % 10);
    while (v /= 10);
    if (n < 0) *--p = '-';
    text.append(p, static_cast<size_t>(digits + sizeof digits - p));
  }
  void flag(const char* key, bool b) {
    name(key);
    text.append(b ? "true" : "false");
  }
  // "...time": ISO 8601 text, "...epoch": seconds.
  void when(const char* time_key, const char* epoch_key, log_time t) {
    if (t == kNoTime) return;
    id(time_key, iso_time(t).c_str());
    num(epoch_key, t);
  }

 private:
  bool first_ = true;
  void comma() {
    if (!first_) text.append(1, ',');
    first_ = false;
  }
  void name(const char* key) {
    text.append(first_ ? "\"" : ",\"", first_ ? 1 : 2);
    first_ = false;
    text.append(key);
    text.append("\":", 2);
  }
  // Printable ASCII already; only quotes and backslashes need escaping.
  void quoted(const std::string& s) {
    text.append(1, '"');
    size_t at = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '"' && s[i] != '\\') continue;
      text.append(s, at, i - at);
      text.append(1, '\\');
      at = i;
    }
    text.append(s, at, std::string::npos);
    text.append(1, '"');
  }
};
