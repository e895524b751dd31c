// SPDX-License-Identifier: MIT
// Within the board's part: the ELF readers behind its judgement, and the
// version text of a daemon binary.
#pragma once

#include <stddef.h>

#include <string>

#include "board.hpp"

// The attributes from the contents of such a section (big: a big-endian
// ELF); false when they are malformed.
bool arm_attributes_parse(const unsigned char* data, size_t len, bool big, arm_cpu* cpu);
// The attributes of the ELF file image; false when it has none.
bool elf_arm_cpu(const unsigned char* image, size_t len, arm_cpu* cpu);

// Where the last loadable segment of an ELF program ends in its file; false
// when its program headers lie beyond len.
bool elf_loaded_end(const unsigned char* image, size_t len, const elf_id& id,
                    unsigned long long* end);
// Whether the section headers of an ELF program lie within len.
bool elf_sections_within(const unsigned char* image, size_t len, const elf_id& id);

// The release version that the daemon binary path carries ("minder version
// X"); empty when it carries none.
std::string daemon_version(const std::string& path);
