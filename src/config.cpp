// SPDX-License-Identifier: MIT
#include "config.hpp"

#include <stdio.h>
#include <stdlib.h>

#include <cstdint>

namespace {

struct heap_freer {
  void operator()(char* p) const { free(p); }
};

}  // namespace

json_ptr json_read_file(const char* path) {
  off_t file_size = 0;
  unique_fd fd(open_regular(path, &file_size));
  if (fd.get() < 0 || file_size <= 0) return nullptr;
  if (static_cast<uint64_t>(file_size) >= SIZE_MAX) return nullptr;
  size_t size = static_cast<size_t>(file_size);
  std::unique_ptr<char, heap_freer> text(static_cast<char*>(malloc(size + 1)));
  if (!text) return nullptr;
  if (read_all(fd.get(), text.get(), size) != 0) return nullptr;  // also when it shrank
  text.get()[size] = '\0';
  return json_ptr(cJSON_Parse(text.get()));
}

const char* json_get_string(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItem(obj, key);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

int json_is_true(const cJSON* obj, const char* key) {
  return cJSON_IsTrue(cJSON_GetObjectItem(obj, key)) ? 1 : 0;
}

int json_get_int(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItem(obj, key);
  return item ? item->valueint : 0;
}

void set_default_process(supervisor_state& state) {
  state.proc_count = 1;
  snprintf(state.slots[0].name, sizeof state.slots[0].name, "%s", kDefaultProcess);
}

int load_watch_config(const char* path, supervisor_state& state) {
  json_ptr tree = json_read_file(path);
  if (!tree) return -1;
  const cJSON* watch = cJSON_GetObjectItem(tree.get(), "__watch");
  const cJSON* procs = watch ? cJSON_GetObjectItem(watch, "processes") : nullptr;
  int n = procs ? cJSON_GetArraySize(procs) : 0;
  if (n <= 0) {
    set_default_process(state);
    return 0;
  }
  // The table has four slots; further elements are not read.
  state.proc_count = n < kMaxSlots ? n : kMaxSlots;
  for (int i = 0; i < state.proc_count; ++i) {
    const cJSON* element = cJSON_GetArrayItem(procs, i);
    const char* base = json_get_string(element, "base");
    if (!base) return -1;
    proc_slot& slot = state.slots[i];
    snprintf(slot.name, sizeof slot.name, "%s", base);
    slot.pid.store(0, std::memory_order_relaxed);
    if (json_is_true(element, "excheck"))
      snprintf(slot.alive_path, sizeof slot.alive_path, "%s/%s.alive", kStateDir, base);
  }
  return 0;
}
