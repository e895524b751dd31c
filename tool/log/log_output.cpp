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

bool parse_output_line(const std::string& line, int number, out_event* o) {
  o->line = number;
  for (const out_format& m : kOutFormats)
    if (find_message(m, line, o)) return true;
  return false;
}
