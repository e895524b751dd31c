// SPDX-License-Identifier: MIT
// What check makes of DIR/config: read and parsed as the daemon does, its
// syntax errors placed, and its members checked as the daemon walks them.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "check.hpp"
#include "common.hpp"
#include "config.hpp"

namespace {

const char* type_of(const cJSON* item) {
  if (cJSON_IsObject(item)) return "an object";
  if (cJSON_IsArray(item)) return "an array";
  if (cJSON_IsString(item)) return "a string";
  if (cJSON_IsNumber(item)) return "a number";
  if (cJSON_IsTrue(item)) return "true";
  if (cJSON_IsFalse(item)) return "false";
  return "null";
}

// Edit distance without regard to ASCII case, for "did you mean" hints.
size_t distance(const char* a, const char* b) {
  size_t n = strlen(b);
  std::vector<size_t> row(n + 1);
  for (size_t j = 0; j <= n; ++j) row[j] = j;
  for (; *a; ++a) {
    size_t diag = row[0]++;
    for (size_t j = 1; j <= n; ++j) {
      size_t up = row[j];
      bool same = (*a | 0x20) == (b[j - 1] | 0x20);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
      diag = up;
    }
  }
  return row[n];
}

// Members of obj other than the known ones, and known ones given twice.
void check_members(report& rep, const std::string& where, const cJSON* obj,
                   const std::vector<const char*>& known, bool others_allowed) {
  std::vector<int> seen(known.size());
  for (const cJSON* m = obj->child; m; m = m->next) {
    const char* name = m->string ? m->string : "";
    bool matched = false;
    for (size_t k = 0; k < known.size(); ++k) {
      if (strcasecmp(name, known[k]) != 0) continue;
      matched = true;
      if (seen[k]++)
        rep.problem(where, "\"%s\" given again as \"%s\": ignored, the first one counts", known[k],
                    name);
    }
    if (matched) continue;
    const char* near = nullptr;
    for (const char* k : known)
      if (distance(name, k) <= 2) near = k;
    if (near)
      rep.problem(where, "unknown member \"%s\" is ignored: did you mean \"%s\"?", name, near);
    else if (!others_allowed)
      rep.problem(where, "unknown member \"%s\" is ignored", name);
  }
}

constexpr size_t kNone = static_cast<size_t>(-1);

// The last character before s[at] that is not white space, or kNone.
size_t last_solid(const char* s, size_t at) {
  while (at > 0 && strchr(" \t\r\n", s[at - 1])) --at;
  return at > 0 ? at - 1 : kNone;
}

// The name reaches execv, file names and "killall -9 NAME".
void check_name(report& rep, const std::string& where, const char* name) {
  if (!*name) {
    rep.problem(where, "empty \"base\": there is no program to start");
  } else if (strchr(name, '/')) {
    rep.problem(where,
                "a slash in the name: killall takes it for a file and kills only "
                "processes running that very file");
  } else if (strlen(name) > 15) {
    rep.problem(where,
                "over 15 characters: the kernel keeps 15 as the process name, so killall "
                "matches the command line instead, or just those 15, which others may share");
  }
}

// One element of processes; a child it names joins names.
void check_element(report& rep, std::string where, const cJSON* e,
                   std::vector<std::string>* names) {
  if (!cJSON_IsObject(e))
    return rep.problem(where, "is %s, not an object with a string \"base\": %s", type_of(e),
                       kNoStart);
  const char* base = json_get_string(e, "base");
  if (base) where += " \"" + std::string(base) + "\"";
  check_members(rep, where, e, {"base", "excheck"}, false);
  const cJSON* item = cJSON_GetObjectItem(e, "base");
  if (!item) return rep.problem(where, "no \"base\" member: %s", kNoStart);
  if (!base) return rep.problem(where, "\"base\" is %s, not a string: %s", type_of(item), kNoStart);
  check_name(rep, where, base);
  if (std::find(names->begin(), names->end(), base) != names->end())
    rep.problem(where, "named twice: both slots run the same program");
  names->push_back(base);
  const cJSON* excheck = cJSON_GetObjectItem(e, "excheck");
  if (!excheck || cJSON_IsTrue(excheck) || cJSON_IsFalse(excheck)) return;
  std::string what = type_of(excheck);
  if (cJSON_IsString(excheck)) what = "the string \"" + std::string(excheck->valuestring) + "\"";
  rep.problem(where, "\"excheck\" is %s, not the literal true: heartbeat checking is off",
              what.c_str());
}

}  // namespace

json_ptr parse_config(report& rep, const std::string& path, std::string* text) {
  std::string why;
  unique_fd fd(open_input(path, &why));
  if (fd.get() < 0) {
    rep.problem(path, "cannot read it (%s): %s", why.c_str(), kNoStart);
    return nullptr;
  }
  char buf[4096];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) > 0;)
    text->append(buf, static_cast<size_t>(n));
  if (text->empty()) {
    rep.problem(path, "empty file: %s", kNoStart);
    return nullptr;
  }
  const char* end = nullptr;
  json_ptr tree(cJSON_ParseWithOpts(text->c_str(), &end, 0));
  if (tree) return tree;
  const char* s = text->c_str();
  const char* at = end ? end : s + strlen(s);
  // Where the parser stopped at (or just after) a closing bracket that follows
  // a comma, the comma is the mistake.
  size_t close = static_cast<size_t>(at - s);
  if (s[close] != '}' && s[close] != ']') close = last_solid(s, close);
  size_t comma = close == kNone ? kNone : last_solid(s, close);
  bool trailing =
      close != kNone && (s[close] == '}' || s[close] == ']') && comma != kNone && s[comma] == ',';
  if (trailing) at = s + comma;
  int line = 1, col = 1;
  for (const char* p = s; p < at; ++p) {
    col = *p == '\n' ? 1 : col + 1;
    line += *p == '\n';
  }
  std::string near(at, strcspn(at, "\r\n"));
  if (near.size() > 24) near = near.substr(0, 24) + "...";
  std::string where = path + ":" + std::to_string(line) + ":" + std::to_string(col);
  if (trailing)
    rep.problem(where, "JSON syntax error: a comma before '%c' (JSON allows none): %s", s[close],
                kNoStart);
  else if (*at == '\0')
    rep.problem(where, "JSON syntax error: the text ends %s: %s",
                at < s + text->size() ? "at a NUL byte" : "before the value is complete", kNoStart);
  else
    rep.problem(where, "JSON syntax error at \"%s\": %s", near.c_str(), kNoStart);
  return nullptr;
}

void check_structure(report& rep, const std::string& cfg, const cJSON* root,
                     std::vector<std::string>* names, std::vector<std::string>* named) {
  char runs_default[96];
  snprintf(runs_default, sizeof runs_default, "the daemon runs its default child \"%s\"",
           kDefaultProcess);
  names->assign(1, kDefaultProcess);
  if (!cJSON_IsObject(root)) {
    rep.problem(cfg, "the file holds %s, not an object: %s", type_of(root), runs_default);
    return;
  }
  check_members(rep, cfg, root, {"__watch"}, true);
  const cJSON* watch = cJSON_GetObjectItem(root, "__watch");
  if (!watch) return rep.problem(cfg, "no \"__watch\" member: %s", runs_default);
  if (!cJSON_IsObject(watch))
    return rep.problem(cfg, "\"__watch\" is %s, not an object: %s", type_of(watch), runs_default);
  check_members(rep, cfg + ": __watch", watch, {"processes"}, false);
  const cJSON* procs = cJSON_GetObjectItem(watch, "processes");
  if (!procs) return rep.problem(cfg, "no \"processes\" in \"__watch\": %s", runs_default);
  int n = cJSON_GetArraySize(procs);
  if (cJSON_IsObject(procs) && n > 0)
    rep.problem(cfg,
                "\"processes\" is an object, not an array: the daemon takes its %d "
                "members for processes",
                n);
  if (n <= 0)
    return rep.problem(cfg, "\"processes\" is %s: %s",
                       cJSON_IsArray(procs) ? "an empty array" : type_of(procs), runs_default);
  std::string dropped;
  for (int i = 0; i < n; ++i) {
    const char* base = json_get_string(cJSON_GetArrayItem(procs, i), "base");
    if (base) named->push_back(base);
    if (i >= kMaxSlots) dropped += std::string(dropped.empty() ? "" : ", ") + (base ? base : "?");
  }
  if (n > kMaxSlots)
    rep.problem(cfg, "%d processes: the daemon runs the first %d and drops the rest (%s)", n,
                kMaxSlots, dropped.c_str());
  names->clear();
  for (int i = 0; i < n && i < kMaxSlots; ++i)
    check_element(rep, cfg + ": processes[" + std::to_string(i) + "]", cJSON_GetArrayItem(procs, i),
                  names);
}
