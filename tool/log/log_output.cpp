// SPDX-License-Identifier: MIT
// Reads minder's standard output, as a file, a console or a system log holds
// it, for what the run file does not say.
#include <string.h>

#include "log.hpp"
#include "log_stats.hpp"
#include "main.hpp"
#include "runfile.hpp"
#include "supervise.hpp"
#include "upgrade.hpp"

namespace {

struct out_format {
  const char* format;
  out_kind kind;
};

const out_format kOutFormats[] = {
    {kMsgFallBack, out_kind::fell_back},           {kMsgNormalBootFailed, out_kind::ended},
    {kMsgRestartSegv, out_kind::segv_delay},       {kMsgRestartNormal, out_kind::normal_delay},
    {kMsgExecFailed, out_kind::exec_failed},       {kMsgCopyFailed, out_kind::copy_failed},
    {kMsgWaitpidFailed, out_kind::waitpid_failed}, {kMsgForkFailed, out_kind::fork_failed},
    {kMsgNoSuchPid, out_kind::no_such_pid},        {kMsgNoProgramPath, out_kind::startup_failed},
    {kMsgMkdirFailed, out_kind::startup_failed},   {kMsgInitFailed, out_kind::startup_failed},
    {kMsgNoFileName, out_kind::startup_failed},    {kMsgOpenFailed, out_kind::startup_failed},
    {kMsgCloexecFailed, out_kind::startup_failed}, {kMsgInUse, out_kind::startup_failed},
    {kMsgNoCurrentDir, out_kind::startup_failed},  {kMsgAlreadyRun, out_kind::startup_failed},
};

// A message at the end of line, after whatever prefix a log put before it (a
// time stamp, "host minder[12]: "): it starts the line or follows a blank,
// ':', ']', '>' or '|'.
bool find_message(const out_format& m, const std::string& line, out_event* o) {
  std::string lead(m.format, strcspn(m.format, "%\n"));
  for (size_t at = line.find(lead); at != std::string::npos; at = line.find(lead, at + 1)) {
    if (at > 0 && !strchr(" \t:]>|", line[at - 1])) continue;
    std::vector<std::string> f;
    if (!match_format(m.format, line.substr(at), &f)) continue;
    o->kind = m.kind;
    o->text = line.substr(at);
    if (!f.empty() && (m.kind == out_kind::segv_delay || m.kind == out_kind::normal_delay ||
                       m.kind == out_kind::no_such_pid))
      o->number = field_number(f[0]);
    return true;
  }
  return false;
}

}  // namespace

void resolve_last_failure(log_result& r) {
  const out_event* said = nullptr;
  for (const out_event& o : r.output)
    if (o.kind == out_kind::fell_back || o.kind == out_kind::ended) said = &o;
  if (!said) return;
  for (auto e = r.events.rbegin(); e != r.events.rend(); ++e) {
    if (e->kind != log_kind::end) continue;
    if (e->next == next_step::fallback_or_end)
      e->next = said->kind == out_kind::ended ? next_step::minder_ended : next_step::fallback;
    return;
  }
}

void parse_output(const std::string& text, std::vector<out_event>* out) {
  int n = 0;
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(at, eol - at);
    at = eol + 1;
    ++n;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kLongestLine) continue;
    out_event o{out_kind::ended, n, 0, ""};
    for (const out_format& m : kOutFormats) {
      if (!find_message(m, line, &o)) continue;
      out->push_back(o);
      break;
    }
  }
}
