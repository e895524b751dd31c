// SPDX-License-Identifier: MIT
// The events of a run file in words, and the text helpers every view of them
// shares.
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "common.hpp"
#include "log.hpp"

const char* cause_name(end_cause cause) {
  switch (cause) {
    case end_cause::exit_status:
      return "exit_status";
    case end_cause::cannot_start:
      return "cannot_start";
    case end_cause::unpack_package:
      return "unpack_package";
    case end_cause::install_blob:
      return "install_blob";
    case end_cause::record_version:
      return "record_version";
    case end_cause::new_cycle:
      return "new_cycle";
    case end_cause::signal:
      return "signal";
    case end_cause::segfault:
      return "segfault";
    case end_cause::heartbeat_kill:
      return "heartbeat_kill";
  }
  return "exit_status";
}

std::string end_words(const log_event& e) {
  char text[96];
  const char* request = nullptr;
  switch (e.cause) {
    case end_cause::exit_status:
      snprintf(text, sizeof text, "exit status %d", e.code);
      return text;
    case end_cause::signal:
      if (e.code == SIGILL) return "illegal instruction (signal 4)";
      snprintf(text, sizeof text, "killed by signal %d", e.code);
      return text;
    case end_cause::segfault:
      return "segmentation fault (signal 11)";
    case end_cause::heartbeat_kill:
      return "killed by the heartbeat checker (signal 9)";
    case end_cause::cannot_start:
      request = "cannot be started";
      break;
    case end_cause::unpack_package:
      request = "asks to unpack the upgrade package";
      break;
    case end_cause::install_blob:
      request = "asks to install the script blob";
      break;
    case end_cause::record_version:
      request = "asks to record the version";
      break;
    case end_cause::new_cycle:
      request = "asks for a new cycle";
      break;
  }
  snprintf(text, sizeof text, "exit %d, %s", e.code, request);
  return text;
}

namespace {

std::string with_code(const char* what, int code) {
  char text[160];
  if (code == 0)
    snprintf(text, sizeof text, "%s without -r", what);
  else
    snprintf(text, sizeof text, "%s with -r %d", what, code);
  return text;
}

std::string ordinal(int n) {
  const char* suffix = n % 100 / 10 == 1 ? "th"
                       : n % 10 == 1     ? "st"
                       : n % 10 == 2     ? "nd"
                       : n % 10 == 3     ? "rd"
                                         : "th";
  return std::to_string(n) + suffix;
}

}  // namespace

std::string next_words(const log_event& e) {
  char what[200];
  switch (e.next) {
    case next_step::restart:
      if (e.cause != end_cause::segfault) {
        snprintf(what, sizeof what, "restart in %d s", e.delay);
        return with_code(what, e.restart_code);
      }
      snprintf(what, sizeof what, "restart in %d s (segfault back-off: at least the %s segfault)",
               e.delay, ordinal(e.segfaults).c_str());
      return with_code(what, e.restart_code);
    case next_step::new_cycle:
      return with_code("new cycle: every child started again", e.restart_code);
    case next_step::upgrade:
      snprintf(
          what, sizeof what, "%s, then a new cycle",
          e.restart_code == kExitUnpackPackage ? "unpack the upgrade package, if any, into ../data/"
          : e.restart_code == kExitInstallBlob ? "install the package, if any, as ../data//init.bin"
                                               : "record the version");
      return with_code(what, e.restart_code);
    case next_step::fallback:
      return with_code(
          "the cycle fails: boot-check record removed, fallback to the shipped "
          "programs",
          e.restart_code);
    case next_step::fallback_or_end:
      return "the cycle fails: fallback to the shipped programs when a boot-check record was "
             "there, else minder ends (--output tells which)";
    case next_step::minder_ended:
      return "the cycle fails without a boot-check record: minder ends";
  }
  return "";
}

std::string time_text(log_time t) {
  if (t == kNoTime) return "";
  time_t when = static_cast<time_t>(t);
  struct tm tm;
  char text[64];
  if (!gmtime_r(&when, &tm) || !asctime_r(&tm, text)) return "";
  std::string s = text;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string printable(const std::string& text, size_t max) {
  auto plain = [](unsigned char c) { return c >= ' ' && c < 127; };
  if (text.size() <= max && std::all_of(text.begin(), text.end(), plain)) return text;
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= max) return out + "...";
    if (c >= ' ' && c < 127) {
      out += static_cast<char>(c);
      continue;
    }
    char esc[8];
    snprintf(esc, sizeof esc, "\\x%02x", c);
    out += esc;
  }
  return out;
}
