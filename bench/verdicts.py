# SPDX-License-Identifier: MIT
"""The bench's verdicts: the first round's targets for the glibc build, and
the current ones, stated as ratios to what this machine can do."""
import os

from launch import fork_exec_wait_ms
from report import fmt

REFERENCE_FORK_EXEC_MS = 0.57  # fork + exec of /bin/true where the targets were set
CYCLE_PROCESSES = 8  # a 160 cycle's four kill commands and four children
CYCLE_FACTOR = 2  # the cycle may take this many times their fork+exec+wait


def judged(label, value, limit, unit, show_limit=False):
    verdict = "met" if value <= limit + 1e-9 else f"MISSED by {value - limit:.2f}{unit}"
    shown = f", limit {limit:.2f}{unit}" if show_limit else ""
    return f"  {label}: {value:.2f}{unit}{shown} ({verdict})"


def first_round(r):
    mem, size, idle, rst = r["memory"], r["sizes"], r["idle"], r["restart"]
    cycle = r["cycle"]["minder"]
    lo, hi = sorted({k[0] for k in r["launch"]})
    ratio = r["launch"][(hi, "daemon")][0] / r["launch"][(lo, "daemon")][0]
    base = fork_exec_wait_ms(r["launch"])
    allowed = {"libc.so.6", "libpthread.so.0", "libcjson.so.1"}
    lines = [judged(*check) for check in [
        ("tree PSS <= 330 KiB", mem["minder"]["Pss"], 330, " KiB"),
        ("tree Private_Dirty <= 160 KiB", mem["minder"]["Private_Dirty"], 160, " KiB"),
        ("stripped executable <= 64 KiB", size["minder"]["exe"] / 1024, 64, " KiB"),
        ("libraries only libc, libpthread, libcjson",
         len(set(size["minder"]["needed"]) - allowed), 0, " others"),
        ("restart overhead <= 2 ms", rst["minder"]["overhead"], 2, " ms"),
        ("160 cycle <= 30 ms", cycle["ms"], 30, " ms"),
        (f"launch cost at {hi} <= 1.1 x at {lo}", ratio, 1.1, " x"),
        ("idle without heartbeat: 0 wakeups / 30 s", idle["minder"]["wakeups"], 0, ""),
        ("idle with heartbeat: 1 wakeup per check", idle["minder+hb"]["per_check"], 1, ""),
    ]]
    lines.append(f"  with a heartbeat slot: PSS {fmt(mem['minder+hb']['Pss'])} KiB, Private_Dirty "
                 f"{fmt(mem['minder+hb']['Private_Dirty'])} KiB; minder needs "
                 + " ".join(size["minder"]["needed"]))
    lines.append(f"  fork+exec+wait of /bin/true here: {base:.2f} ms, against "
                 f"{REFERENCE_FORK_EXEC_MS} ms where the targets were set; scaled by that, "
                 f"restart overhead ~{rst['minder']['overhead'] * REFERENCE_FORK_EXEC_MS / base:.2f}"
                 f" ms, 160 cycle ~{cycle['ms'] * REFERENCE_FORK_EXEC_MS / base:.1f} ms "
                 "(an estimate only)")
    if hi < 1048576:
        lines.append(f"  the hard open-file limit could not be raised past {hi} here "
                     "(no CAP_SYS_RESOURCE)")
    return lines


def boot_verdict(label, rows, minder):
    if not rows:
        return f"  {label}: not measured"
    return judged(label, rows[minder]["ms"] / rows["runit"]["ms"], 1.0, " x")


def board_rows(result):
    return result["rows"] if result else None


def current(r):
    """The current targets: the 160 cycle and the boot path as ratios, and the
    static tree as shipped."""
    base = fork_exec_wait_ms(r["launch"])
    cycle = r["cycle"]["minder"]["ms"]
    label = (f"160 cycle <= {CYCLE_FACTOR} x ({CYCLE_PROCESSES} x fork+exec+wait, "
             f"{CYCLE_PROCESSES * base:.2f} ms)")
    cores = len(os.sched_getaffinity(0))
    lines = ["minder against the current targets, as ratios to this machine:"]
    if cores >= 2:
        lines.append(judged(label, cycle / (CYCLE_PROCESSES * base), CYCLE_FACTOR, " x"))
    else:
        lines.append(f"  {label}: {cycle:.1f} ms (not judged: one core)")
    lines.append(boot_verdict("boot path natively <= runit's", r["boot"], "minder"))
    lines.append(boot_verdict("boot path as on a board, static x86-64 natively <= runit's",
                              board_rows(r["boot_board"]), "after"))
    lines.append(boot_verdict("boot path as on a board, ARM board build under qemu <= runit's",
                              board_rows(r["boot_arm"]), "after"))
    mem, size = r["memory"], r["sizes"]
    musl, runit = mem["minder-musl"], mem["runit"]
    lines.append("minder-musl (static, as shipped):")
    lines += [judged(*check, show_limit=True) for check in [
        ("tree Private_Dirty <= 1/6 of runit's", musl["Private_Dirty"], runit["Private_Dirty"] / 6,
         " KiB"),
        ("x86-64 stripped executable <= 100 KiB", size["minder-musl"]["exe"] / 1024, 100, " KiB"),
        ("32-bit ARM stripped executable <= 72 KiB", (r["board"] or 1e9) / 1024, 72, " KiB"),
        ("no shared libraries", len(size["minder-musl"]["needed"]), 0, ""),
    ]]
    lines.append(f"  tree PSS {fmt(musl['Pss'])} KiB against runit's {fmt(runit['Pss'])} "
                 f"(1/{runit['Pss'] / musl['Pss']:.1f}), not judged: a glibc peer's PSS moves "
                 "with how many processes on the machine share its C library")
    return lines


def verdicts(r):
    return (["minder (glibc, dynamic) against the first round's targets, set on a faster "
             "machine:"] + first_round(r) + current(r))
