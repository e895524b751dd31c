// SPDX-License-Identifier: MIT
// The boot-check record, version comparison and the upgrade installer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common.hpp"
#include "config.hpp"

// 1 when children are to be started from the data directory, else 0.
int read_boot_mode();
json_ptr load_bootchk();
// 1 when the record was readable (and its deletion attempted), else 0.
int clear_bootchk();
// Whether a record is there at all, readable or not.
bool bootchk_present();

// Packs up to four dot-separated fields a.b.c.d into (a<<24)|(b<<16)|(c<<8)|d.
uint32_t version_pack(const char* text);
// Negative, 0 or positive as a is older than, equal to or newer than b.
int32_t version_compare(const char* a, const char* b);

// When the script blob cannot be installed: the two descriptors, -1 for the
// side that failed. minder-tool reads it back with this text.
inline constexpr char kMsgCopyFailed[] = "Failed to read or write, in, %d, out, %d\n";

// Installs the upgrade package as requested by exit code 130, 131 or 132.
void apply_upgrade(supervisor_state& state, int code);
// Replaces dst with a copy of the regular file src, atomically; 0 or -1.
int copy_file(const char* src, const char* dst);
// Replaces path with data atomically; 0 or -1.
int write_text_file(const char* path, const char* data, size_t len);
