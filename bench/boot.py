# SPDX-License-Identifier: MIT
"""The boot path: from a supervisor's start until all four children run.
minder kills leftovers of its children's names before it starts them, so
this is also the work of every new cycle. Beside it runit, runsvdir started
on a directory of four services. Natively, with this machine's shell,
killall and /proc; and as on a board (bench/boardlike.py): in a PID
namespace with its own /proc, BusyBox as shell and killall, the static
builds natively and the ARM board binaries under qemu-user, with the kill
phase on its own."""
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


def measure_boot_boardlike(setup, emulated):
    """As on a board (bench/boardlike.py, in a PID namespace with its own
    /proc), natively or, emulated, under qemu-user: {"rows": {name: {ms, n,
    max}} for each daemon in setup.daemons, for runit and for the kill phase
    ("kill"), "processes": the most the namespace held}, or None when it
    cannot run here."""
    where = "under qemu" if emulated else "natively"
    work = tempfile.mkdtemp(prefix="minder-bench-board.")
    cmd = ([os.path.join(HERE, "..", "scripts", "emulate")] if emulated else []) + [
        "unshare", "--pid", "--fork", "--mount-proc", sys.executable,
        os.path.join(HERE, "boardlike.py"), "--work", work, "--busybox", setup.busybox,
        "--runit", setup.runit, "--child", setup.child, "--kill-phase", setup.kill_phase,
        "--starts", str(BOOT_STARTS)] + [f"{n}={os.path.abspath(b)}" for n, b in setup.daemons]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if done.returncode != 0:
        log(f"  board-like boot path {where}: not measured: {done.stderr.strip()[-600:]}")
        return None
    out = json.loads(done.stdout)
    result = {"rows": summary(out["times"]), "processes": out["processes"]}
    log(f"  board-like boot path {where}: {result}")
    return result
