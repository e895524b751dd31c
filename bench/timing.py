# SPDX-License-Identifier: MIT
"""How fast the supervisors bring children back: a restart of one child (all
four tools at once), and minder's new cycle after an exit with 160."""
from procs import cpu_with_reaped, log, median, schedstat, wait_for
from trees import STARTS, Tree

RESTART_DELAY_S = 10  # minder's delay before a restart, in daemon time
FAST = 100  # libfaketime rate for the restart runs: 10 s take 0.1 s

# Per tool: how long child 0 lives and the pause the tool itself makes
# before a restart, in ms. minder's 10 s delay takes 0.1 s at x100; runit and
# daemontools pause only after a child that lived under a second; s6 always
# waits a second.
RESTART_PLANS = {
    "minder": (20, RESTART_DELAY_S * 1000 / FAST),
    "runit": (1100, 0.0),
    "s6": (100, 1000.0),
    "daemontools": (1100, 0.0),
}


def restart_gaps(tree):
    """Gaps in ms from each end of child 0 to the start of its replacement."""
    out, end = [], None
    for kind, _, _, ns in tree.bench.log.of([tree.ids[0]]):
        if kind == "end":
            end = ns
        elif end is not None:
            out.append((ns - end) / 1e6)
            end = None
    return out


def restarter(tree):
    """The process that restarts child 0: the daemon, or that service's supervisor."""
    if tree.kind == "minder":
        return tree.proc.pid
    for pid in tree.split()[0]:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if tree.ids[0].encode() in f.read():
                    return pid
        except OSError:
            pass
    raise RuntimeError(f"no supervisor of {tree.ids[0]} under {tree.config}")


def restart_round(bench, per_start):
    """One start of all four at once, so that changes in the machine's load hit
    them alike: {config: (gaps, CPU ns, run-queue ns, restarts counted)}."""
    trees = {}
    try:
        for config, (life, _) in RESTART_PLANS.items():
            trees[config] = Tree(bench, config, rate=FAST if config == "minder" else None,
                                 exits={0: (life, 3)}).start()
        for tree in trees.values():
            tree.wait_ready(all_running=False)
        wait_for(lambda: all(restart_gaps(t) for t in trees.values()), 30, "the first restarts")
        first = {c: len(restart_gaps(t)) for c, t in trees.items()}
        pids = {c: restarter(t) for c, t in trees.items()}
        before = {c: schedstat(p) for c, p in pids.items()}
        wait_for(lambda: all(len(restart_gaps(t)) >= first[c] + per_start
                             for c, t in trees.items()), 60, f"{per_start} restarts each")
        after = {c: schedstat(p) for c, p in pids.items()}
        out = {}
        for c, t in trees.items():
            gaps = restart_gaps(t)
            out[c] = (gaps, after[c][0] - before[c][0], after[c][1] - before[c][1],
                      len(gaps) - first[c])
        return out
    finally:
        for tree in trees.values():
            tree.stop()


def measure_restart(bench, sleep_ms, per_start=3):
    rounds = [restart_round(bench, per_start) for _ in range(STARTS)]
    rows = {}
    for config, (_, floor) in RESTART_PLANS.items():
        gaps = [g for r in rounds for g in r[config][0]]
        n = sum(r[config][3] for r in rounds)
        rows[config] = {"gap": median(gaps), "overhead": median(gaps) - floor, "n": len(gaps),
                        "cpu_ms": sum(r[config][1] for r in rounds) / n / 1e6,
                        "wait_ms": sum(r[config][2] for r in rounds) / n / 1e6}
        if config == "minder" and sleep_ms:
            rows[config]["calibrated"] = median(gaps) - sleep_ms
        log(f"  restart {config}: {rows[config]}")
    return rows


def cycle_times(tree):
    """ms from each exit of child 0 with 160 until all four had started again."""
    out, end, seen = [], None, {}
    for kind, cid, _, ns in tree.bench.log.of(tree.ids):
        if kind == "end" and cid == tree.ids[0]:
            end, seen = ns, {}
        elif kind == "start" and end is not None:
            seen.setdefault(cid, ns)
            if len(seen) == 4:
                out.append((max(seen.values()) - end) / 1e6)
                end = None
    return out


def cycle_start(bench, config, per_start):
    """One start whose child 0 exits with 160 100 ms after each of its starts:
    (cycle times, CPU ns of the daemon and what it collected: shells, killall
    and the children's exec)."""
    tree = Tree(bench, config, exits={0: (100, 160)})
    try:
        tree.start().wait_ready(all_running=False)
        wait_for(lambda: cycle_times(tree), 30, "the first new cycle")
        first, before = len(cycle_times(tree)), cpu_with_reaped(tree.proc.pid)
        wait_for(lambda: len(cycle_times(tree)) >= first + per_start, 60, "new cycles")
        cpu = cpu_with_reaped(tree.proc.pid) - before
        return cycle_times(tree)[first:], cpu
    finally:
        tree.stop()


def measure_cycle(bench, configs, per_start=6):
    """The new cycle of each daemon in configs, their starts taking turns."""
    times = {c: [] for c in configs}
    cpu = dict.fromkeys(configs, 0)
    for _ in range(STARTS):
        for config in configs:
            done, used = cycle_start(bench, config, per_start)
            times[config] += done
            cpu[config] += used
    rows = {}
    for config in configs:
        t = times[config]
        rows[config] = {"ms": median(t), "n": len(t), "max": max(t),
                        "cpu_ms": cpu[config] / len(t) / 1e6}
        log(f"  cycle 160 {config}: {rows[config]}")
    return rows
