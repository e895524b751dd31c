// SPDX-License-Identifier: MIT
// log RUNFILE...: what devices did, read from minder's run files (and their
// standard output, and the config, when given): for one file a summary with
// warnings, a timeline and an SVG picture; for a fleet a summary of outcomes
// and failing children; JSON Lines, one object per file.
#include "log.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common.hpp"
#include "config.hpp"
#include "log_fleet.hpp"
#include "tool.hpp"

namespace {

// Exit statuses: warnings, and a file that cannot be read or is no run file.
constexpr int kWarned = 1, kFailed = 3;

bool load_children(const char* config, std::vector<log_child>* children) {
  std::vector<std::string> names;
  std::vector<bool> watched;
  if (!configured_children(config, &names, &watched)) return false;
  for (size_t i = 0; i < names.size(); ++i) children->push_back({names[i], true, watched[i]});
  return true;
}

bool write_svg(const char* path, const std::string& title, const log_result& r) {
  unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  FILE* out = fd.get() >= 0 ? fdopen(fd.get(), "w") : nullptr;
  if (!out) return false;
  fd.release();
  write_log_svg(out, {{title, &r}});
  bool ok = !ferror(out);
  return fclose(out) == 0 && ok;
}

int status_of(const log_result& r) {
  return !r.run_file ? kFailed : log_warning_list(r).empty() ? 0 : kWarned;
}

int one_file(const options& opt, const std::vector<log_child>& children) {
  FILE* say = opt.json ? stderr : stdout;  // findings go to standard output, but not into JSON
  const std::string& run = opt.args[0];
  std::string output = opt.output ? opt.output : output_beside(run), why;
  log_result r;
  if (!read_log(run, output, children, &r, &why)) {
    fprintf(say, "%s\n", why.c_str());
    if (opt.json) printf("%s\n", log_json_error(run, output, why).c_str());
    return kFailed;
  }
  if (opt.json)
    printf("%s\n", log_json_text(r, run, output).c_str());
  else
    explain_log(stdout, r, opt.timeline ? timeline_mode::always : timeline_mode::if_short);
  if (opt.svg && !write_svg(opt.svg, run.substr(run.find_last_of('/') + 1), r)) {
    fprintf(say, "%s: not written (%s)\n", opt.svg, strerror(errno));
    return 1;
  }
  return status_of(r);
}

// Every run file, one at a time: as JSON Lines, or summed up and then, with
// --each, explained one by one.
int many_files(const options& opt, const std::vector<log_child>& children) {
  int status = 0;
  fleet_summary fleet;
  find_run_files(opt.args, [&](const std::string& run) {
    std::string output = output_beside(run), why;
    log_result r;
    bool ok = read_log(run, output, children, &r, &why);
    status = std::max(status, ok ? status_of(r) : kFailed);
    if (opt.json && ok) printf("%s\n", log_json_text(r, run, output).c_str());
    if (opt.json && !ok) printf("%s\n", log_json_error(run, output, why).c_str());
    if (!opt.json) fleet_add(fleet, run, ok ? &r : nullptr, why);
  });
  if (opt.json) return status;
  write_fleet(stdout, fleet);
  if (!opt.each) return status;
  find_run_files(opt.args, [&](const std::string& run) {
    std::string output = output_beside(run), why;
    log_result r;
    printf("\n== %s%s%s ==\n", printable(run, 4096).c_str(), output.empty() ? "" : " with ",
           printable(output, 4096).c_str());
    if (!read_log(run, output, children, &r, &why))
      printf("%s\n", printable(why, 4096).c_str());
    else
      explain_log(stdout, r, opt.timeline ? timeline_mode::always : timeline_mode::if_short);
  });
  return status;
}

}  // namespace

int cmd_log(const options& opt) {
  std::vector<log_child> children;
  if (opt.config && !load_children(opt.config, &children)) {
    fprintf(opt.json ? stderr : stdout,
            "%s: the daemon cannot load it (minder-tool check tells why)\n", opt.config);
    return 1;
  }
  struct stat st;
  bool many = opt.args.size() > 1 || (stat(opt.args[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  if (!many) return one_file(opt, children);
  if (opt.output || opt.svg) {
    fprintf(stderr, "minder-tool: --output and --svg take one run file\n");
    return 2;
  }
  return many_files(opt, children);
}
