#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The boot path of the 32-bit ARM board binary under qemu-user, beside runit:
from the supervisor's start until all four bench children (built for ARM)
run, in an emulated root that holds BusyBox as its shell and killall.
Runs inside scripts/emulate (a user and mount namespace with binfmt_misc
entries of its own), which bench/boot.py starts; prints its times as JSON.

  emulated.py --work DIR --busybox DIR --runit BUSYBOX --child ARMCHILD
              --starts N NAME=BOARD_BINARY...

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


def boot_once(root, argv, ids, log):
    """ms from starting argv in the root until all of ids have started."""
    def enter():
        os.chroot(root)
        os.chdir("/")
    env = {"PATH": PATH, "BENCH_LOG": "/tmp/bench.log"}
    with open(f"{root}/tmp/out", "a") as out:
        started = time.monotonic_ns()
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                preexec_fn=enter)
    try:
        wait_for(lambda: log.all_started(ids, started) is not None, 60, f"{argv[0]} to boot")
        return log.all_started(ids, started)
    finally:
        kill_below(proc.pid)
        proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for opt in ("--work", "--busybox", "--runit", "--child"):
        parser.add_argument(opt, required=True)
    parser.add_argument("--starts", type=int, default=10)
    parser.add_argument("daemons", nargs="+", help="NAME=BINARY: a board binary to boot")
    args = parser.parse_args()
    become_subreaper()
    root = make_root(args)
    tag = f"q{os.getpid() % 10000}"
    setups = {}
    for i, given in enumerate(args.daemons):
        name, _, binary = given.partition("=")
        setups[name] = minder_setup(root, name, binary, f"{tag}{chr(97 + i)}")
    setups["runit"] = runit_setup(root, f"{tag}r")
    log = ChildLog(f"{root}/tmp/bench.log")
    times = {name: [] for name in setups}
    try:
        for _ in range(args.starts):  # taking turns, so that changes in load hit all alike
            for name, (argv, ids) in setups.items():
                times[name].append(boot_once(root, argv, ids, log))
    except RuntimeError as e:
        with open(f"{root}/tmp/out") as f:
            sys.exit(f"emulated.py: {e}; the supervisors said:\n{f.read()[-1000:]}")
    json.dump(times, sys.stdout)


if __name__ == "__main__":
    main()
