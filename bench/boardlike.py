#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The boot path as on a board: from the supervisor's start until all four
bench children run, in a root that holds BusyBox as its shell and killall,
for each static daemon given and for runit; and the daemon's kill phase
alone, its four kill commands run side by side by the daemon's own code
(bench/kill_phase.cpp). bench/boot.py runs this as PID 1 of a PID namespace
with its own /proc (unshare --pid --fork --mount-proc), so that killall
reads a handful of processes, as on a board: natively with the x86-64
builds, and under scripts/emulate (qemu-user) with the 32-bit ARM ones.
Prints its times as JSON, and the processes the namespace held.

  boardlike.py --work DIR --busybox DIR --runit BUSYBOX --child CHILD
               --kill-phase HELPER --starts N NAME=DAEMON...

The root is made in DIR; its mounts go with the namespace, and the caller
removes DIR afterwards. Debian's BusyBox has no runsvdir applet, and
Debian's runit is linked dynamically: the runit peer is a static BusyBox
built with runsvdir and runsv alone (--runit), as a board would carry it.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

from procs import ChildLog, become_subreaper, kill_below, wait_for
from trees import age, minder_config

PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def make_root(args):
    root = os.path.join(args.work, "root")
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "tmp", "dev", "srv"):
        os.makedirs(os.path.join(root, d))
    shutil.copy2(os.path.join(args.busybox, "bin/busybox"), os.path.join(root, "bin"))
    applets = subprocess.run(["chroot", root, "/bin/busybox", "--list-full"], check=True,
                             capture_output=True, text=True).stdout.split()
    for applet in applets:
        if applet != "bin/busybox":
            os.symlink("/bin/busybox", os.path.join(root, applet))
    shutil.copy2(args.runit, os.path.join(root, "usr/bin/busybox-runit"))
    for name in ("runsvdir", "runsv"):
        os.symlink("busybox-runit", os.path.join(root, "usr/bin", name))
    shutil.copy2(args.child, os.path.join(root, "srv/child"))
    shutil.copy2(args.kill_phase, os.path.join(root, "srv/kill_phase"))
    open(os.path.join(root, "dev/null"), "w").close()
    for cmd in (["mount", "--bind", "/dev/null", f"{root}/dev/null"],
                ["mount", "--rbind", "/proc", f"{root}/proc"],  # killall reads it
                ["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", f"{root}/tmp"]):
        subprocess.run(cmd, check=True)
    return root


def minder_setup(root, name, binary, tag):
    """A program directory with the daemon and its four children: (argv, ids)."""
    prog = f"/srv/{name}/prog"
    os.makedirs(root + prog)
    ids = [f"{tag}c{i}" for i in range(4)]
    shutil.copy2(binary, f"{root}{prog}/{tag}m")
    for cid in ids:
        os.link(f"{root}/srv/child", f"{root}{prog}/{cid}")
    with open(f"{root}{prog}/config", "w") as f:
        f.write(minder_config(ids))
    return [f"{prog}/{tag}m"], ids


def runit_setup(root, tag):
    scan = "/srv/runit/scan"
    ids = [f"{tag}c{i}" for i in range(4)]
    for cid in ids:
        os.makedirs(f"{root}{scan}/{cid}")
        os.link(f"{root}/srv/child", f"{root}{scan}/{cid}/run")
    age(root + scan, *(f"{root}{scan}/{cid}" for cid in ids))
    return ["/usr/bin/runsvdir", scan], ids


def entering(root):
    def enter():
        os.chroot(root)
        os.chdir("/")
    return enter


def kill_phase_once(root, ids):
    """ms the daemon's four kill commands for ids take, side by side."""
    done = subprocess.run(["/srv/kill_phase"] + ids, env={"PATH": PATH}, check=True,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          preexec_fn=entering(root))
    return int(done.stdout.split()[1]) / 1e6


def processes():
    return sum(1 for entry in os.listdir("/proc") if entry.isdigit())


def boot_once(root, argv, ids, log):
    """(ms from starting argv in the root until all of ids have started, the
    processes in the namespace then)."""
    enter = entering(root)
    env = {"PATH": PATH, "BENCH_LOG": "/tmp/bench.log"}
    with open(f"{root}/tmp/out", "a") as out:
        started = time.monotonic_ns()
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                preexec_fn=enter)
    try:
        wait_for(lambda: log.all_started(ids, started) is not None, 60, f"{argv[0]} to boot")
        return log.all_started(ids, started), processes()
    finally:
        kill_below(proc.pid)
        proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for opt in ("--work", "--busybox", "--runit", "--child", "--kill-phase"):
        parser.add_argument(opt, required=True)
    parser.add_argument("--starts", type=int, default=10)
    parser.add_argument("daemons", nargs="+", help="NAME=BINARY: a static daemon to boot")
    args = parser.parse_args()
    if os.getpid() != 1:
        sys.exit("boardlike.py: not PID 1 of a PID namespace of its own")
    become_subreaper()
    root = make_root(args)
    tag = f"q{os.getpid() % 10000}"
    setups = {}
    for i, given in enumerate(args.daemons):
        name, _, binary = given.partition("=")
        setups[name] = minder_setup(root, name, binary, f"{tag}{chr(97 + i)}")
    setups["runit"] = runit_setup(root, f"{tag}r")
    log = ChildLog(f"{root}/tmp/bench.log")
    times = {name: [] for name in list(setups) + ["kill"]}
    kill_ids = [f"{tag}k{i}" for i in range(4)]  # as many names, none running: as at boot
    most = 0
    try:
        for _ in range(args.starts):  # taking turns, so that changes in load hit all alike
            for name, (argv, ids) in setups.items():
                ms, count = boot_once(root, argv, ids, log)
                times[name].append(ms)
                most = max(most, count)
            times["kill"].append(kill_phase_once(root, kill_ids))
    except RuntimeError as e:
        with open(f"{root}/tmp/out") as f:
            sys.exit(f"boardlike.py: {e}; the supervisors said:\n{f.read()[-1000:]}")
    json.dump({"times": times, "processes": most}, sys.stdout)


if __name__ == "__main__":
    main()
