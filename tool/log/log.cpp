// SPDX-License-Identifier: MIT
// log RUNFILE: what a device did, read from minder's run file (and its
// standard output, and the config, when given): a summary with warnings, a
// timeline, JSON, an SVG picture.
#include "log.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "common.hpp"
#include "config.hpp"
#include "tool.hpp"

namespace {

// A run file holds about 1 MiB; a system log may hold much more.
constexpr size_t kMaxRead = 64 << 20;

bool read_text(const std::string& path, std::string* text, std::string* why) {
  unique_fd fd(open_input(path, why));
  if (fd.get() < 0) return false;
  char buf[65536];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) {
      *why = strerror(errno);
      return false;
    }
    text->append(buf, static_cast<size_t>(n));
    if (text->size() >= kMaxRead) {
      fprintf(stderr, "minder-tool: %s: only its first %zu MiB are read\n", path.c_str(),
              kMaxRead >> 20);
      break;
    }
  }
  return true;
}

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

}  // namespace

int cmd_log(const options& opt) {
  // Findings go to standard output, but not into the JSON there.
  FILE* say = opt.json ? stderr : stdout;
  log_input in;
  std::string why;
  const std::string& run = opt.args[0];
  if (!read_text(run, &in.run_text, &why)) {
    fprintf(say, "%s: cannot read it (%s)\n", run.c_str(), why.c_str());
    return 1;
  }
  if (opt.output) {
    in.has_output = true;
    if (!read_text(opt.output, &in.output_text, &why)) {
      fprintf(say, "%s: cannot read it (%s)\n", opt.output, why.c_str());
      return 1;
    }
  }
  if (opt.config && !load_children(opt.config, &in.children)) {
    fprintf(say, "%s: the daemon cannot load it (minder-tool check tells why)\n", opt.config);
    return 1;
  }
  log_result r = parse_log(in);
  int warnings = 0;
  if (opt.json) {
    json_ptr tree = log_to_json(r);
    std::unique_ptr<char, void (*)(void*)> text(cJSON_Print(tree.get()), cJSON_free);
    if (text) printf("%s\n", text.get());
    warnings = static_cast<int>(log_warnings(r).size());
  } else {
    warnings =
        explain_log(stdout, r, opt.timeline ? timeline_mode::always : timeline_mode::if_short);
  }
  if (opt.svg && !write_svg(opt.svg, run.substr(run.find_last_of('/') + 1), r)) {
    fprintf(say, "%s: not written (%s)\n", opt.svg, strerror(errno));
    return 1;
  }
  return warnings || !r.run_file ? 1 : 0;
}
