#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Footprint and speed of minder against runit, s6 and daemontools.

Every supervisor runs the same four children (bench/child.cpp, built static).
minder runs as built for glibc (dynamic) and, as minder-musl, as shipped to
the board (static, musl); minder-before is the glibc build of an earlier
revision, for the new cycle, the upgrade and the boot path before and after.
Every program runs from a fresh copy, written back with sync before anything
is measured. Run through bench/run, which builds everything and passes the
paths. What is measured lives beside this file: memory.py (sizes, memory,
idle cost), launch.py (launch cost), timing.py (restarts, new cycles),
upgrades.py, boot.py and boardlike.py (the boot path), report.py and
verdicts.py.
"""
import argparse
import os
import shutil
import signal
import sys
import time
from types import SimpleNamespace

from boot import measure_boot, measure_boot_boardlike
from launch import calibrate_sleep, measure_launch
from memory import IDLE_S, measure_idle, measure_memory, measure_sizes
from procs import become_subreaper, kill_below, log
from report import report
from timing import measure_cycle, measure_restart
from trees import STATE_DIR, Bench
from upgrades import measure_upgrade
from verdicts import verdicts


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--minder", required=True)
    parser.add_argument("--child", required=True)
    parser.add_argument("--launch", required=True)
    parser.add_argument("--musl", required=True, help="the static musl build (x86-64)")
    parser.add_argument("--board", help="the static 32-bit ARM build")
    parser.add_argument("--before", help="the glibc build of the earlier revision")
    parser.add_argument("--before-board", help="the static 32-bit ARM build of that revision")
    parser.add_argument("--before-rev", default="before", help="how to name that revision")
    parser.add_argument("--arm-child", help="the bench child built for 32-bit ARM")
    parser.add_argument("--arm-busybox", help="Debian's busybox-static for armhf, unpacked")
    parser.add_argument("--arm-runit", help="a static ARM BusyBox with runsvdir and runsv")
    parser.add_argument("--arm-kill-phase", help="bench/kill_phase.cpp built for 32-bit ARM")
    parser.add_argument("--busybox", help="Debian's busybox-static for this machine, unpacked")
    parser.add_argument("--runit-busybox", help="a static BusyBox with runsvdir and runsv")
    parser.add_argument("--kill-phase", help="bench/kill_phase.cpp built for this machine")
    parser.add_argument("--out", help="also write the report here")
    return parser.parse_args()


def arm_setup(args):
    """What the boot path under qemu needs, or None when something is missing."""
    if not all((args.board, args.arm_child, args.arm_busybox, args.arm_runit,
                args.arm_kill_phase)):
        return None
    before = [("before", args.before_board)] if args.before_board else []
    return SimpleNamespace(busybox=args.arm_busybox, runit=os.path.abspath(args.arm_runit),
                           child=os.path.abspath(args.arm_child),
                           kill_phase=os.path.abspath(args.arm_kill_phase),
                           daemons=before + [("after", args.board)])


def native_setup(args):
    """What the board-like boot path natively needs, or None."""
    if not all((args.busybox, args.runit_busybox, args.kill_phase)):
        return None
    return SimpleNamespace(busybox=args.busybox, runit=os.path.abspath(args.runit_busybox),
                           child=os.path.abspath(args.child),
                           kill_phase=os.path.abspath(args.kill_phase),
                           daemons=[("after", args.musl)])


def measure(bench, args, results):
    minders = (["minder-before"] if bench.before else []) + ["minder"]
    log("sizes")
    results["sizes"] = measure_sizes(bench)
    log("launch cost")
    results["launch"] = measure_launch(bench)
    results["sleep_ms"] = calibrate_sleep(bench)
    log("memory")
    results["memory"] = measure_memory(bench)
    log("restart overhead")
    results["restart"] = measure_restart(bench, results["sleep_ms"])
    log("160 cycle")
    results["cycle"] = measure_cycle(bench, minders)
    log("boot path")
    results["boot"] = measure_boot(bench, minders + ["runit"])
    native, arm = native_setup(args), arm_setup(args)
    results["boot_board"] = measure_boot_boardlike(native, False) if native else None
    results["boot_arm"] = measure_boot_boardlike(arm, True) if arm else None
    log("upgrade 130")
    results["upgrade"] = measure_upgrade(bench, minders)
    log("upgrade 130 over data mode")
    results["upgrade_data"] = measure_upgrade(bench, minders, over_data=True)
    log(f"idle cost ({IDLE_S} s)")
    results["idle"] = measure_idle(bench)


def main():
    args = parse_args()
    become_subreaper()
    for sig in (signal.SIGTERM, signal.SIGHUP):  # clean up as for Ctrl-C
        signal.signal(sig, lambda *_: sys.exit(1))
    os.makedirs(STATE_DIR, exist_ok=True)
    bench = Bench(args)
    results = {"board": os.path.getsize(args.board) if args.board else None,
               "before_rev": args.before_rev}
    started, load_start = time.monotonic(), os.getloadavg()[0]
    try:
        measure(bench, args, results)
    finally:
        kill_below(os.getpid(), keep={os.getpid()})
        shutil.rmtree(bench.root, ignore_errors=True)
    lines = report(results) + [""] + verdicts(results)
    lines.append(f"(bench took {time.monotonic() - started:.0f} s; load average at the start "
                 f"{load_start:.2f}, at the end {os.getloadavg()[0]:.2f}; other work on the "
                 "machine inflates every timing)")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
