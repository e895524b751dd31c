// SPDX-License-Identifier: MIT
// The configuration file and the JSON file accessors.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

#include "common.hpp"

// The child run when config names none.
inline constexpr char kDefaultProcess[] = "korvan-dpi-inner";

struct json_deleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

// Fills the process table from the file at path; 0 or -1.
int load_watch_config(const char* path, supervisor_state& state);
void set_default_process(supervisor_state& state);

// Parses the whole file; null when it is missing, empty, unreadable or not JSON.
json_ptr json_read_file(const char* path);

// Member lookups (case-insensitive names, the first match wins).
const char* json_get_string(const cJSON* obj, const char* key);
int json_is_true(const cJSON* obj, const char* key);
int json_get_int(const cJSON* obj, const char* key);
