// SPDX-License-Identifier: MIT
// Many devices' run files summed up: how many of them had each outcome, and
// which children fail most, with counts; one device at a time, in memory
// bounded by the number of children's names kept.
#include "log_fleet.hpp"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "log.hpp"
#include "log_stats.hpp"

namespace {

struct outcome_words {
  const char* id;
  const char* words;
};
const outcome_words kOutcomes[] = {
    {"upgrade_taken", "upgrade taken"},
    {"fallback", "fell back to the shipped programs"},
    {"fallback_or_end", "fell back or minder ended (standard output tells which)"},
    {"crash_loop", "crash loop"},
    {"heartbeat_kills", "heartbeat kills"},
    {"minder_ended", "minder ended"},
    {"nothing_notable", "nothing notable"},
};
constexpr size_t kFleetChildren = 1000;  // names kept; the others counted together
constexpr size_t kShownChildren = 10;
constexpr size_t kShownErrors = 10;

// Ends that are no request of the protocol and no clean exit.
bool failure(const cause_count& c) {
  switch (c.cause) {
    case end_cause::unpack_package:
    case end_cause::install_blob:
    case end_cause::record_version:
    case end_cause::new_cycle:
      return false;
    case end_cause::exit_status:
      return c.code != 0;
    default:
      return true;
  }
}

}  // namespace

void fleet_add(fleet_summary& f, const std::string& path, const log_result* r,
               const std::string& why) {
  ++f.files;
  if (!r || !r->run_file) {
    ++(r ? f.not_run_files : f.unreadable);
    if (f.errors.size() < kShownErrors) f.errors.push_back(r ? path + ": not a run file" : why);
    return;
  }
  ++f.devices;
  f.warned += !log_warning_list(*r).empty();
  for (const char* id : log_outcomes(*r))
    for (size_t i = 0; i < sizeof kOutcomes / sizeof kOutcomes[0]; ++i)
      f.outcomes[i] += strcmp(kOutcomes[i].id, id) == 0;
  const std::vector<child_stats>& stats = gather_stats(*r);
  for (size_t i = 0; i < stats.size(); ++i) {
    int ends = 0;
    for (const cause_count& c : stats[i].causes) ends += failure(c) ? c.count : 0;
    if (!ends) continue;
    const std::string& name = r->children[i].name;
    bool known = f.children.count(name) || f.children.size() < kFleetChildren;
    fleet_summary::child& c = f.children[known ? name : std::string("(other children)")];
    ++c.devices;
    c.ends += ends;
    c.loops += stats[i].loop >= kCrashLoopEnds;
    for (const cause_count& cause : stats[i].causes)
      if (failure(cause) && (c.causes.count(cause.words) || c.causes.size() < kFleetChildren))
        c.causes[cause.words] += cause.count;
  }
}

void write_fleet(FILE* out, const fleet_summary& f) {
  fprintf(out,
          "fleet: %d run files: %d explained, %d cannot be read, %d not run files; %d with "
          "warnings\n",
          f.files, f.devices, f.unreadable, f.not_run_files, f.warned);
  for (const std::string& e : f.errors) fprintf(out, "  %s\n", printable(e, 300).c_str());
  int failed = f.unreadable + f.not_run_files;
  if (failed > static_cast<int>(f.errors.size()))
    fprintf(out, "  ... and %zu more\n", static_cast<size_t>(failed) - f.errors.size());
  fprintf(out, "devices per outcome (a device may have several):\n");
  for (size_t i = 0; i < sizeof kOutcomes / sizeof kOutcomes[0]; ++i)
    if (f.outcomes[i] || strcmp(kOutcomes[i].id, "fallback_or_end") != 0)
      fprintf(out, "  %7d  %s\n", f.outcomes[i], kOutcomes[i].words);
  std::vector<std::pair<std::string, fleet_summary::child>> children(f.children.begin(),
                                                                     f.children.end());
  std::stable_sort(children.begin(), children.end(),
                   [](const auto& a, const auto& b) { return a.second.ends > b.second.ends; });
  fprintf(out, "children that fail most:%s\n", children.empty() ? " none" : "");
  for (size_t i = 0; i < children.size() && i < kShownChildren; ++i) {
    const fleet_summary::child& c = children[i].second;
    fprintf(out, "  %s: %d failed ends on %d devices, a crash loop on %d\n",
            printable(children[i].first).c_str(), c.ends, c.devices, c.loops);
    std::vector<std::pair<std::string, int>> causes(c.causes.begin(), c.causes.end());
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (size_t k = 0; k < causes.size() && k < kShownChildren; ++k)
      fprintf(out, "    %7d  %s\n", causes[k].second, causes[k].first.c_str());
  }
  if (children.size() > kShownChildren)
    fprintf(out, "  ... and %zu more children\n", children.size() - kShownChildren);
}
