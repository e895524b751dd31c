# SPDX-License-Identifier: MIT
"""The boot path: from a supervisor's start until all four children run.
minder kills leftovers of its children's names before it starts them, so
this is also the work of every new cycle. Beside it runit, runsvdir started
on a directory of four services. Natively, with this machine's shell and
killall; and for the ARM board binary under qemu-user with BusyBox as shell
and killall (bench/emulated.py)."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

from procs import log, median, wait_for
from trees import Tree

BOOT_STARTS = 10
HERE = os.path.dirname(os.path.abspath(__file__))


def summary(times):
    return {c: {"ms": median(t), "n": len(t), "max": max(t)} for c, t in times.items()}


def measure_boot(bench, configs):
    """Natively: {config: {ms, n, max}}, the configurations taking turns."""
    times = {c: [] for c in configs}
    for _ in range(BOOT_STARTS):
        for config in configs:
            tree = Tree(bench, config).start()
            try:
                wait_for(lambda: tree.boot_ms() is not None, 30, f"{config} to boot")
                times[config].append(tree.boot_ms())
            finally:
                tree.stop()
    rows = summary(times)
    log(f"  boot path natively: {rows}")
    return rows


def measure_boot_emulated(arm):
    """Under qemu-user: {name: {ms, n, max}} for each board binary in
    arm.daemons and for runit, or None when emulation is not possible here."""
    work = tempfile.mkdtemp(prefix="minder-bench-arm.")
    cmd = [os.path.join(HERE, "..", "scripts", "emulate"), sys.executable,
           os.path.join(HERE, "emulated.py"), "--work", work, "--busybox", arm.busybox,
           "--runit", arm.runit, "--child", arm.child,
           "--starts", str(BOOT_STARTS)] + [f"{n}={os.path.abspath(b)}" for n, b in arm.daemons]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if done.returncode != 0:
        log(f"  boot path under qemu: not measured: {done.stderr.strip()[-600:]}")
        return None
    rows = summary(json.loads(done.stdout))
    log(f"  boot path under qemu: {rows}")
    return rows
