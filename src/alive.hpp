// SPDX-License-Identifier: MIT
// The liveness checker: kills watched children whose heartbeat file stays away.
#pragma once

#include "common.hpp"

// Seconds between two checks.
inline constexpr unsigned kCheckInterval = 120;
// Checks in a row without a heartbeat file that get a child killed.
inline constexpr uint32_t kMissLimit = 3;

// Starts the checker thread when some slot is watched.
void start_check_alive(supervisor_state& state);
// One check of every watched slot.
void check_slots(supervisor_state& state);
