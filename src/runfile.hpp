// SPDX-License-Identifier: MIT
// The run file: single-instance lock and event log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common.hpp"

// The run file is cut back to its first line before it would grow past this.
inline constexpr long kRunFileLimit = 1024 * 1024;

// The run file's lines after the first (the program directory), as written.
// minder-tool reads the file back with these same texts.
inline constexpr char kExitLine[] = "%s: %s exited normally with code(%d)\n";
inline constexpr char kSignalLine[] = "%s: %s killed by signal(%d)\n";
inline constexpr char kNotAliveLine[] = "%s is not alive, and we will kill it.\n";
inline constexpr char kCheckAliveFailedLine[] = "create pthread check_alive failed\n";

// Messages on standard output when the run file cannot be taken; minder then
// ends.
inline constexpr char kMsgNoFileName[] = "NULL file name\n";
inline constexpr char kMsgOpenFailed[] = "failed to open %s\n";
inline constexpr char kMsgCloexecFailed[] = "FD_CLOEXEC failed for %s\n";
inline constexpr char kMsgInUse[] = "already in use for %s\n";
inline constexpr char kMsgNoCurrentDir[] = "failed to get current dir\n";
inline constexpr char kMsgAlreadyRun[] = "process(%s) already run\n";

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
