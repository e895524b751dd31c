// SPDX-License-Identifier: MIT
// The picture's time axis: where each event of a run file sits, and the
// ticks with the device's times and dates.
#pragma once

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "log.hpp"

// The picture's width and its plot, right of the lanes' names.
inline constexpr int kWidth = 1000, kLeft = 170, kRight = 20;
inline constexpr int kPlot = kWidth - kLeft - kRight, kPad = 6;

// Where each event sits on the axis: its time, or for a line without one the
// time before it; never earlier than the event before (a clock set back).
// Without any time stamp, the events' order.
struct axis {
  std::vector<log_time> at;
  log_time from = 0, to = 1;
  bool timed = false;
  // Inside the plot, a few pixels off its edges.
  int x(log_time t) const {
    double f = std::min(1.0, std::max(0.0, static_cast<double>(t - from) / (to - from)));
    return kLeft + kPad + static_cast<int>(f * (kPlot - 2 * kPad));
  }
};

axis make_axis(const log_result& r);
// The axis line at y, and its ticks below it.
void time_axis(FILE* out, const axis& a, int y);
