// SPDX-License-Identifier: MIT
// Package entries the daemon never reads: they land in ../data/ and change
// nothing on the device.
#include <algorithm>

#include "package.hpp"

std::string never_read(const std::string& path, bool executable,
                       const std::vector<std::string>* children) {
  if (path == "config")
    return "minder reads config only from the program directory; this file changes nothing on "
           "the device";
  bool top = path.find('/') == std::string::npos && !path.empty();
  if (!executable || !top || !children || children->empty()) return "";
  if (std::find(children->begin(), children->end(), path) != children->end()) return "";
  return "never started: no configured child is named " + path;
}
