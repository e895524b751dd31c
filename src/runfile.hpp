// The run file: single-instance lock and event log.
#pragma once

#include <cstdint>

#include "common.hpp"

// The run file is cut back to its first line before it would grow past this.
inline constexpr long kRunFileLimit = 1024 * 1024;

// Opens and locks state.run_path and writes the working directory into it.
int open_run_file(const char* argv0, supervisor_state& state);

// Opens path, locks it, empties it and writes data; the descriptor or -1.
int lock_run_file(const char* path, const char* data, int32_t len);

// Appends one event line; -1 when fd is not open.
int log_write(int fd, const char* data, int32_t len);
