// SPDX-License-Identifier: MIT
// The upgrade package: whose package is installed, and the one descriptor
// through which it is tested, unpacked or copied.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// Whether a package may be installed. entry is what the state directory holds
// at the package's name (the file, or a link to it), file the file opened
// there, dir the state directory, uid and gid the daemon's effective ids.
// Where everybody may add files to the state directory, only a package of
// the daemon's user or root, in a sticky directory, that no other user may
// rewrite, is taken; elsewhere only users given write access to the directory
// can have put it there, and it is refused only when anybody may rewrite it.
bool package_trusted(const struct stat& entry, const struct stat& file, const struct stat& dir,
                     uid_t uid, gid_t gid);

// Opens the package at path, in the state directory, to read: the descriptor
// (close-on-exec), or -1 when there is none, it is not a regular file, or it
// is not to be trusted.
int open_package(const char* path);

// Runs cmd through the shell with the file at fd, from its start, as its
// standard input; its wait status, or -1. tar is given it as /proc/self/fd/0,
// a name that opens that very file whatever happened to its path since: a
// file name lets GNU tar hand it to gzip directly, where "-" would copy it
// through one more pipe.
int run_on_package(const char* cmd, int fd);

// Whether the package at fd reads as a whole gzip tar: a download cut short or
// a damaged stream fails here, before anything in the data directory changes.
// tar says why on the daemon's output, as the unpack does.
bool package_readable(int fd);
