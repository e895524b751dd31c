#!/bin/sh
# SPDX-License-Identifier: MIT
# The tool's parts depend one way: each file of a part includes only the
# headers of its own folder, of the tool's top folder, of the daemon, and of
# the parts its library links (board <- package, log <- rehearse). A header
# found elsewhere is an include the build would take but the layout forbids.
set -u
top=$1/tool
uses() {
  case $1 in
    board) echo "board" ;;
    package) echo "package board" ;;
    log) echo "log" ;;
    rehearse) echo "rehearse log package board" ;;
  esac
}
bad=0
for part in board package log rehearse; do
  for file in "$top/$part"/*.cpp "$top/$part"/*.hpp; do
    for header in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
      found=no
      [ -f "$top/$header" ] || [ -f "$1/src/$header" ] && found=yes
      for dep in $(uses "$part"); do [ -f "$top/$dep/$header" ] && found=yes; done
      if [ $found = no ]; then
        echo "${file#"$1"/}: includes \"$header\", which part $part may not use"
        bad=1
      fi
    done
  done
done
# The shared top folder uses no part.
for header in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$top"/shared.cpp "$top"/tool.hpp); do
  [ -f "$top/$header" ] || [ -f "$1/src/$header" ] || { echo "tool/shared: includes $header"; bad=1; }
done
[ $bad = 0 ] && echo "the tool's parts include one way"
exit $bad
