#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""minder-tool log at a fleet's scale: files per second and peak resident
memory, read by /usr/bin/time -v, for a generated fleet of 10 000 run files
(scripts/log-fleet: a day of a device with a flaky child, a few hundred lines
each) as JSON Lines and as the fleet summary, and for the worst inputs of
64 MiB: empty lines, 16 KiB lines, random bytes. Targets: 2000 files a
second, under 64 MiB whatever the input.
Usage: bench/log_fleet.py --tool BUILD/minder-tool [--out REPORT] [--files N]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20
TARGET_RSS_MIB = 64
TARGET_FILES_S = 2000


def timed(cmd):
    """Wall seconds, CPU seconds and peak RSS in MiB of cmd, output dropped."""
    with open(os.devnull, "w") as null:
        done = subprocess.run(["/usr/bin/time", "-v"] + cmd, stdout=null,
                              stderr=subprocess.PIPE, text=True, check=False)
    if done.returncode not in (0, 1, 3):
        sys.exit("log_fleet: %s failed: %s" % (cmd, done.stderr[-500:]))
    text = done.stderr

    def field(name):
        return re.search(re.escape(name) + r": (\S+)", text).group(1)
    wall = field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":")
    seconds = sum(float(part) * 60 ** i for i, part in enumerate(reversed(wall)))
    cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
    return seconds, cpu, int(field("Maximum resident set size (kbytes)")) / 1024


def best_of(runs, cmd):
    return min((timed(cmd) for _ in range(runs)), key=lambda r: r[0])


def worst_cases(root):
    line = b"x" * (16 * 1024 - 1) + b"\n"
    cases = {
        "64 MiB of empty lines": b"\n" * (64 * MIB),
        "64 MiB of 16 KiB lines": line * (64 * MIB // len(line)),
        "64 MiB of random bytes": os.urandom(64 * MIB),
    }
    paths = {}
    for i, (name, data) in enumerate(cases.items()):
        paths[name] = os.path.join(root, "worst%d.run" % i)
        with open(paths[name], "wb") as f:
            f.write(data)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--out")
    parser.add_argument("--files", type=int, default=10000)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="minder-bench-log-")
    try:
        fleet = os.path.join(root, "fleet")
        subprocess.run([os.path.join(HERE, "..", "scripts", "log-fleet"), fleet,
                        str(args.files)], check=True)
        rows = []
        for label, extra in (("JSON Lines", ["--json"]), ("fleet summary", [])):
            timed([args.tool, "log", fleet] + extra)  # the page cache warm
            wall, cpu, rss = best_of(3, [args.tool, "log", fleet] + extra)
            rows.append(("%d run files, %s" % (args.files, label),
                         "%.0f files/s (%.0f per CPU second)" % (args.files / wall,
                                                                 args.files / cpu),
                         rss, args.files / wall >= TARGET_FILES_S))
        for name, path in worst_cases(root).items():
            wall, cpu, rss = best_of(1, [args.tool, "log", path, "--json"])
            rows.append((name + ", JSON", "%.2f s" % wall, rss, True))
        width = max(len(r[0]) for r in rows)
        lines = ["minder-tool log at scale (targets: %d files/s, peak RSS < %d MiB)"
                 % (TARGET_FILES_S, TARGET_RSS_MIB)]
        for label, speed, rss, fast in rows:
            ok = fast and rss < TARGET_RSS_MIB
            lines.append("  %-*s  %-36s  %6.1f MiB  %s" % (width, label, speed, rss,
                                                         "ok" if ok else "MISSED"))
        text = "\n".join(lines) + "\n"
        print(text, end="")
        if args.out:
            with open(args.out, "a") as f:
                f.write("\n" + text)
    finally:
        shutil.rmtree(root)


main()
