// SPDX-License-Identifier: MIT
// Fuzzes the boot-check record: every input becomes ../data//.bootchk beside a
// scratch program directory, is read as the supervision loop reads it, and its
// version texts are packed and compared with a reference packing.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "config.hpp"
#include "upgrade.hpp"

namespace {

char g_root[kPathSize];
char g_record[kDataPathSize];  // as the daemon builds it, relative to the program directory

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "bootchk_fuzz: %s\n", what);
  abort();
}

// a.b.c.d packed the plain way: strtok_r fields of a copy, digits unchecked,
// each field's low 8 bits.
uint32_t reference_pack(const char* text) {
  std::string copy(text);
  uint32_t packed = 0;
  char* save = nullptr;
  int shift = 24;
  for (char* field = strtok_r(&copy[0], ".", &save); field && shift >= 0;
       field = strtok_r(nullptr, ".", &save), shift -= 8) {
    uint32_t v = 0;
    for (const char* c = field; *c; ++c) v = v * 10 + static_cast<uint32_t>(*c - '0');
    packed |= (v & 0xffu) << shift;
  }
  return packed;
}

// Older than the running supervisor: its packed version is smaller.
bool older_than_ours(const char* version) {
  return reference_pack(version) < reference_pack(kVersion);  // packed values, no wrap
}

void check_version(const char* text) {
  check(version_pack(text) == reference_pack(text), "version_pack differs from the reference");
  int32_t cmp = version_compare(text, kVersion);
  check((cmp < 0) == older_than_ours(text), "version_compare disagrees on older");
}

void remove_dirs() {
  char path[kPathSize + 16];
  unlink(g_record);
  for (const char* sub : {"/data", "/prog", ""}) {
    snprintf(path, sizeof path, "%s%s", g_root, sub);
    rmdir(path);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* tmp = getenv("TMPDIR");
  snprintf(g_root, sizeof g_root, "%s/minder-bootchk-fuzz.XXXXXX", tmp && *tmp ? tmp : "/tmp");
  char prog[kPathSize + 16];
  char data[kPathSize + 16];
  if (!mkdtemp(g_root) || snprintf(prog, sizeof prog, "%s/prog", g_root) < 0 ||
      snprintf(data, sizeof data, "%s/data", g_root) < 0 || mkdir(prog, 0755) != 0 ||
      mkdir(data, 0755) != 0) {
    perror("bootchk_fuzz: scratch directories");
    exit(1);
  }
  snprintf(g_record, sizeof g_record, "%s/data/.bootchk", g_root);
  atexit(remove_dirs);
  if (chdir(prog) != 0) {
    perror("bootchk_fuzz: chdir");
    exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    unique_fd fd(open(g_record, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    check(fd.get() >= 0 && write_all(fd.get(), data, size) == 0, "cannot write the input");
  }
  int mode = read_boot_mode();

  // What the record says, read independently: the daemon reads it as
  // NUL-terminated text, and an empty file is no record.
  std::string text(reinterpret_cast<const char*>(data), size);
  json_ptr record(size > 0 ? cJSON_Parse(text.c_str()) : nullptr);
  const cJSON* version = cJSON_GetObjectItem(record.get(), "version");
  const char* v = cJSON_IsString(version) ? version->valuestring : nullptr;
  bool older = v && older_than_ours(v);
  const cJSON* plugindata = cJSON_GetObjectItem(record.get(), "plugindata");
  bool data_mode = v && !older && plugindata && plugindata->valueint == 1;

  check(mode == (data_mode ? 1 : 0), "wrong boot mode");
  check((access(g_record, F_OK) == 0) == !older, "record removed or kept wrongly");

  if (v) check_version(v);
  check_version(text.c_str());
  return 0;
}
