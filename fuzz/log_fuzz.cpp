// SPDX-License-Identifier: MIT
// Fuzzes minder-tool log: every input is a run file (and, after a line
// "--output--", minder's standard output), parsed and explained in every
// view. What reaches the terminal, the picture and the JSON is printable
// ASCII, the JSON parses back, and nothing crashes or leaks.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "log.hpp"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "log_fuzz: %s\n", what);
  abort();
}

bool printable_ascii(const char* text, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c != '\n' && c != '\t' && (c < ' ' || c >= 127)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  log_input in;
  size_t split = input.find("\n--output--\n");
  in.run_text = input.substr(0, split);
  if (split != std::string::npos) {
    in.has_output = true;
    in.output_text = input.substr(split + 12);
  }
  if (size % 2) in.children = {{"uplink", true, true}, {"collector", true, false}};
  log_result r = parse_log(in);

  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  check(out != nullptr, "open_memstream");
  int warnings = explain_log(out, r, timeline_mode::always);
  check(warnings == static_cast<int>(log_warnings(r).size()), "warning count differs");
  write_log_svg(out, {{"a", &r}, {"b", &r}});
  fclose(out);
  check(printable_ascii(buf, len), "a control character or non-ASCII byte in the output");
  free(buf);

  json_ptr tree = log_to_json(r);
  char* json = cJSON_Print(tree.get());
  check(json != nullptr, "no JSON text");
  check(printable_ascii(json, strlen(json)), "a control character in the JSON");
  json_ptr back(cJSON_Parse(json));
  check(back != nullptr, "the JSON does not parse back");
  cJSON_free(json);
  return 0;
}
