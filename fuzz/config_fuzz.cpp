// SPDX-License-Identifier: MIT
// Fuzzes the configuration loader: every input becomes the "config" file, is
// loaded into a zero-filled state record, and the table is checked against an
// independent reading of the same text.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "config.hpp"

namespace {

constexpr char kDefaultName[] = "korvan-dpi-inner";

char g_dir[kPathSize];
char g_path[kPathSize];
supervisor_state g_state;  // tens of KiB: kept static and zero-filled per input

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "config_fuzz: %s\n", what);
  abort();
}

// Compared with memcmp: a byte loop here would be traced and dominate the run.
bool all_zero(const proc_slot& slot) {
  static const unsigned char zero[sizeof(proc_slot)] = {};
  return memcmp(&slot, zero, sizeof zero) == 0;
}

// s must hold text truncated to the array it lives in.
bool holds(const char* s, const std::string& text) {
  return text.compare(0, kPathSize - 1, s) == 0;
}

void remove_dir() {
  unlink(g_path);
  rmdir(g_dir);
}

// A loaded slot: a bounded name, a quotable kill command, nothing of a child yet.
void walk_slot(const proc_slot& slot) {
  check(memchr(slot.name, '\0', sizeof slot.name) != nullptr, "name not terminated");
  check(memchr(slot.alive_path, '\0', sizeof slot.alive_path) != nullptr,
        "heartbeat path not terminated");
  check(slot.pid.load() == 0 && slot.miss_count.load() == 0 && slot.killed_by_checker.load() == 0,
        "a loaded slot carries child state");
  char cmd[kDataPathSize];
  if (build_kill_command(cmd, sizeof cmd, slot.name) == 0)
    check(strncmp(cmd, "killall -9 ", 11) == 0, "kill command malformed");
  else
    check(cmd[0] == '\0', "a kill command that does not fit is left behind");
}

// Compares the loaded table with what the text says it must hold.
void check_table(const cJSON* root, int result, const supervisor_state& s) {
  if (!root) {
    check(result == -1, "a file that is not JSON loads");
    return;
  }
  const cJSON* procs = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "__watch"), "processes");
  int n = cJSON_GetArraySize(procs);
  if (n == 0) {
    check(result == 0 && s.proc_count == 1, "no processes: not the default process");
    check(strcmp(s.slots[0].name, kDefaultName) == 0, "default process misnamed");
    check(s.slots[0].alive_path[0] == '\0', "default process watched");
    return;
  }
  int used = n < kMaxSlots ? n : kMaxSlots;
  for (int i = 0; i < used; ++i) {
    const cJSON* element = cJSON_GetArrayItem(procs, i);
    const cJSON* base = cJSON_GetObjectItem(element, "base");
    if (!cJSON_IsString(base)) {
      check(result == -1, "an element without a string base loads");
      return;
    }
    const proc_slot& slot = s.slots[i];
    check(holds(slot.name, base->valuestring), "name differs from base");
    std::string alive = std::string(kStateDir) + "/" + base->valuestring + ".alive";
    if (cJSON_IsTrue(cJSON_GetObjectItem(element, "excheck")))
      check(holds(slot.alive_path, alive), "heartbeat path wrong");
    else
      check(slot.alive_path[0] == '\0', "heartbeat checking on without excheck true");
  }
  check(result == 0 && slot_limit(s) == used, "valid processes not loaded");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* tmp = getenv("TMPDIR");
  snprintf(g_dir, sizeof g_dir, "%s/minder-config-fuzz.XXXXXX", tmp && *tmp ? tmp : "/tmp");
  if (!mkdtemp(g_dir)) {
    perror("config_fuzz: mkdtemp");
    exit(1);
  }
  snprintf(g_path, sizeof g_path, "%s/config", g_dir);
  atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    unique_fd fd(open(g_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    check(fd.get() >= 0 && write_all(fd.get(), data, size) == 0, "cannot write the input");
  }
  memset(static_cast<void*>(&g_state), 0, sizeof g_state);
  int result = load_watch_config(g_path, g_state);
  check(result == 0 || result == -1, "result neither 0 nor -1");

  const supervisor_state& s = g_state;
  check(s.run_path[0] == '\0' && s.debug_flag == 0 && s.data_mode == 0 && s.run_fd.load() == 0 &&
            s.segv_restarts == 0,
        "the loader touched fields outside the table");
  int used = slot_limit(s);
  for (int i = 0; i < used; ++i) walk_slot(s.slots[i]);
  for (int i = used < 0 ? 0 : used; i < kMaxSlots; ++i)
    check(all_zero(s.slots[i]), "a slot past the table was written");

  // The daemon reads the file as NUL-terminated text; an empty file is no JSON.
  std::string text(reinterpret_cast<const char*>(data), size);
  json_ptr root(size > 0 ? cJSON_Parse(text.c_str()) : nullptr);
  check_table(root.get(), result, s);
  return 0;
}
