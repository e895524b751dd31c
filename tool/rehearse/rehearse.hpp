// SPDX-License-Identifier: MIT
// rehearse: an upgrade tried on an emulated board with the shipped daemon,
// judged with the board's part, read with the log's explainer, its package
// and record read with the package part's code.
#pragma once

#include "tool.hpp"

int cmd_rehearse(const options& opt);
