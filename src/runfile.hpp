// The run file: single-instance lock and event log.
#pragma once

#include <cstddef>
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

// Every line the run file can hold after its first, one function per event.
// A child's end, stamped with the local time.
void log_exit(int code, int exited, const char* name, int fd);
// The liveness checker is about to kill name.
void log_not_alive(const char* name, int fd);
// The liveness checker could not be started.
void log_check_alive_failed(int fd);

// Formats one exit line; its length. A cut line still ends with a newline.
int format_exit_line(char* line, size_t size, const char* when, int code, int exited,
                     const char* name);
