# SPDX-License-Identifier: MIT
"""What the supervisors cost at rest: executable and library sizes, memory of
a running tree, and wakeups and CPU while idle."""
import os
import subprocess
import time

from procs import idle_counters, log, median, read_kib
from trees import CONFIGS, STARTS, Tree

HB_RATE = 8  # heartbeat idle run: 30 s real = 240 s daemon time, two checks
CHECK_PERIOD_S = 120  # the heartbeat checker's period, in daemon time
IDLE_S = 30


def strip_size(path, scratch):
    copy = os.path.join(scratch, "stripped")
    subprocess.run(["strip", "-o", copy, path], check=True, capture_output=True)
    size = os.path.getsize(copy)
    os.unlink(copy)
    return size


def shared_libs(path):
    # ldd fails on a static program, which needs none.
    out = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
    libs = set()
    for line in out.splitlines():
        words = line.split()
        if "=>" in words and len(words) > words.index("=>") + 1:
            target = words[words.index("=>") + 1]
            if target.startswith("/"):
                libs.add(os.path.realpath(target))
        elif words and words[0].startswith("/"):
            libs.add(os.path.realpath(words[0]))
    return libs


def needed(path):
    out = subprocess.run(["readelf", "-d", path], check=True, capture_output=True,
                         text=True).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def measure_sizes(bench):
    rows = {}
    for config in CONFIGS:
        exes = bench.programs(config)
        libs = set().union(*(shared_libs(e) for e in exes))
        rows[config] = {
            "exe": sum(strip_size(e, bench.root) for e in exes),
            "libs": sum(strip_size(lib, bench.root) for lib in libs),
            "lib_names": sorted(os.path.basename(lib) for lib in libs),
            "needed": sorted(set().union(*(needed(e) for e in exes))),
        }
    return rows


def measure_memory(bench):
    rows = {}
    for config in CONFIGS:
        samples = []
        for _ in range(STARTS):
            tree = Tree(bench, config).start()
            try:
                tree.wait_ready()
                time.sleep(1.0)  # let the scanners settle
                sup, _ = tree.split()
                total = {"Rss": 0, "Pss": 0, "Private_Dirty": 0, "threads": 0}
                for pid in sup:
                    total.update({k: total[k] + v for k, v in read_kib(
                        f"/proc/{pid}/smaps_rollup", ["Rss", "Pss", "Private_Dirty"]).items()})
                    total["threads"] += read_kib(f"/proc/{pid}/status", ["Threads"])["Threads"]
                total["procs"] = len(sup)
                samples.append(total)
            finally:
                tree.stop()
        rows[config] = {k: median([s[k] for s in samples]) for k in samples[0]}
        log(f"  memory {config}: {rows[config]}")
    return rows


def measure_idle(bench):
    """All configurations at once, STARTS of each: idle trees do not disturb each other."""
    trees = []
    try:
        for config in CONFIGS:
            for _ in range(STARTS):
                rate = HB_RATE if config == "minder+hb" else None
                trees.append(Tree(bench, config, rate=rate).start())
        for tree in trees:
            tree.wait_ready(seconds=60)
        time.sleep(2.0)
        groups = [tree.split()[0] for tree in trees]
        before = [idle_counters(g) for g in groups]
        time.sleep(IDLE_S)
        after = [idle_counters(g) for g in groups]
        for tree in trees:
            if tree.proc.poll() is not None or len(tree.split()[1]) != 4:
                raise RuntimeError(f"{tree.config} lost a child while idle: {tree.output()}")
    finally:
        for tree in trees:
            tree.stop()
    rows = {}
    for config in CONFIGS:
        deltas = [(a[0] - b[0], a[1] - b[1])
                  for t, b, a in zip(trees, before, after) if t.config == config]
        rows[config] = {
            "wakeups": median([d[0] for d in deltas]),
            "cpu_us": median([d[1] / 1000 for d in deltas]),
        }
        if config == "minder+hb":
            periods = IDLE_S * HB_RATE / CHECK_PERIOD_S
            rows[config]["per_check"] = rows[config]["wakeups"] / periods
        log(f"  idle {config}: {rows[config]}")
    return rows
