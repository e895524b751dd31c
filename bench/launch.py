# SPDX-License-Identifier: MIT
"""Launch cost of a child (bench/launch_cost.cpp): fork to exec of /bin/true
with and without closing inherited descriptors, and fork+exec+wait, the unit
the cycle's target is counted in; and the real length of a sped-up sleep."""
import os
import subprocess

from procs import log
from timing import FAST
from trees import FAKETIME


def measure_launch(bench, rounds=101):
    out = subprocess.run([bench.launch, "launch", str(rounds)], check=True,
                         capture_output=True, text=True).stdout
    rows = {}
    for line in out.splitlines():
        _, limit, method, fork_exec, total = line.split()
        rows[(int(limit), method)] = (int(fork_exec) / 1e6, int(total) / 1e6)
    log(f"  launch: {rows}")
    return rows


def fork_exec_wait_ms(launch):
    """fork+exec+wait of /bin/true at the lower open-file limit, no closing."""
    return launch[(min(k[0] for k in launch), "none")][1]


def calibrate_sleep(bench):
    env = dict(os.environ, LD_PRELOAD=FAKETIME, FAKETIME=f"+0 x{FAST}", DONT_FAKE_MONOTONIC="1")
    out = subprocess.run([bench.launch, "sleep", "7"], check=True, capture_output=True,
                         text=True, env=env).stdout
    return int(out.split()[1]) / 1e6
