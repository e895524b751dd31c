// SPDX-License-Identifier: MIT
// A program taken from a Debian package, found by what it is (a program of
// the right name in a bin directory, built for the right machine) rather than
// by the path one release gave it: Debian 12's busybox-static holds
// ./bin/busybox, Debian 13's ./usr/bin/busybox beside a text file of the same
// name; Debian 13's qemu-user-static holds only links to qemu-user's programs.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "board.hpp"

struct deb_want {
  std::vector<std::string> names;  // its file names, the first preferred
  elf_id machine;                  // what it is built for
  bool needs_static = false;       // no program interpreter: it runs inside any root
  std::string save_as;             // its name in the cache
};

// Whether a member of the package's data archive may be it: a regular file of
// one of its names in a bin or sbin directory.
bool deb_candidate(const std::string& member, const deb_want& w);
// Whether the member's whole image is it.
bool deb_fits(const unsigned char* image, size_t len, const deb_want& w);
// What is missing, for the set-up error: "static program for 64-bit x86-64
// named qemu-arm-static or qemu-arm in a bin directory".
std::string deb_wanted(const deb_want& w);

// Unpacks the wanted programs of the package deb into dir, each under its
// save_as; false when one is missing, with the package and the file named.
bool unpack_wanted(const std::string& deb, const std::vector<deb_want>& wants,
                   const std::string& dir, std::string* why);
