// SPDX-License-Identifier: MIT
// Within the board's part: what check makes of DIR/config.
#pragma once

#include <string>
#include <vector>

#include "config.hpp"
#include "tool.hpp"

inline constexpr char kNoStart[] = "the daemon will not start (\"failed to init daemon\")";

// Reads the file as the daemon does and parses it (into *text); syntax errors
// with their place.
json_ptr parse_config(report& rep, const std::string& path, std::string* text);
// Walks __watch → processes as the daemon does. names gets the children it
// would run, named every "base" string in processes.
void check_structure(report& rep, const std::string& cfg, const cJSON* root,
                     std::vector<std::string>* names, std::vector<std::string>* named);
