// SPDX-License-Identifier: MIT
// Messages of the entry point, each of which ends minder at start-up.
// minder-tool reads them back with these texts.
#pragma once

inline constexpr char kMsgNoProgramPath[] = "no program path given\n";
inline constexpr char kMsgMkdirFailed[] = "mkdir (%s) error: %s";  // no newline, as always
inline constexpr char kMsgInitFailed[] = "failed to init daemon\n";
