# SPDX-License-Identifier: MIT
"""The bench's tables: every tool side by side, minder before and after the
change under test, the boot path as on a board, and the launch cost of a
child."""
from boot import BOOT_STARTS
from memory import CHECK_PERIOD_S, HB_RATE, IDLE_S
from timing import FAST, RESTART_PLANS
from trees import CONFIGS, STARTS

W0 = 34  # width of the label column


def fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:.{digits}f}"


def tools_table(r):
    lines = []
    w = 12
    head = "".ljust(W0) + "".join(c.rjust(w) for c in CONFIGS) + "  target (minder)"
    lines += [head, "-" * len(head)]

    def row(label, values, target=""):
        lines.append(label.ljust(W0) + "".join(v.rjust(w) for v in values) + "  " + target)
    mem, size, idle, rst = r["memory"], r["sizes"], r["idle"], r["restart"]
    cycle, upgrade = r["cycle"]["minder"], r["upgrade"]["minder"]
    upgrade_data = r["upgrade_data"]["minder"]
    row("processes / threads", [f"{mem[c]['procs']:.0f} / {mem[c]['threads']:.0f}" for c in CONFIGS])
    row("RSS KiB", [fmt(mem[c]["Rss"]) for c in CONFIGS])
    row("PSS KiB", [fmt(mem[c]["Pss"]) for c in CONFIGS], "<= 330")
    row("Private_Dirty KiB", [fmt(mem[c]["Private_Dirty"]) for c in CONFIGS], "<= 160")
    row("executables KiB (stripped)", [fmt(size[c]["exe"] / 1024, 1) for c in CONFIGS], "<= 64")
    row("shared libraries KiB (stripped)", [fmt(size[c]["libs"] / 1024) for c in CONFIGS])
    row("idle wakeups / 30 s", [fmt(idle[c]["wakeups"]) if c != "minder+hb"
                                else fmt(idle[c]["per_check"], 1) + " *" for c in CONFIGS],
        "0; with heartbeat 1 per check")
    row("idle CPU us / 30 s", [fmt(idle[c]["cpu_us"]) for c in CONFIGS])
    row("restart overhead ms (median)",
        [fmt(rst[c]["overhead"], 2) if c in rst else "-" for c in CONFIGS], "<= 2")
    row("restart gap ms (median)", [fmt(rst[c]["gap"], 1) if c in rst else "-" for c in CONFIGS])
    row("CPU ms per restart", [fmt(rst[c]["cpu_ms"], 2) if c in rst else "-" for c in CONFIGS])
    row("run-queue wait ms per restart",
        [fmt(rst[c]["wait_ms"], 2) if c in rst else "-" for c in CONFIGS])
    rest = ["-"] * (len(CONFIGS) - 1)
    row("160 cycle, all four back ms", [fmt(cycle["ms"], 1)] + rest, "<= 30")
    row("CPU ms per 160 cycle", [fmt(cycle["cpu_ms"], 1)] + rest)
    row("upgrade 130, first child back ms", [fmt(upgrade["ms"], 1)] + rest)
    row("  over data mode", [fmt(upgrade_data["ms"], 1)] + rest)
    lines.append("")
    lines.append(f"* minder+hb idles under libfaketime at x{HB_RATE}: {IDLE_S} s real = "
                 f"{IDLE_S * HB_RATE} s daemon time, {IDLE_S * HB_RATE // CHECK_PERIOD_S} "
                 f"checker periods; shown: wakeups per period; its CPU time covers those checks.")
    lines.append(f"Medians over {STARTS} starts each. Restarts, all four tools at once: "
                 + ", ".join(f"{c} {rst[c]['n']}" for c in RESTART_PLANS)
                 + f"; overhead = gap - the tool's own pause (minder: 10 s at x{FAST} = "
                 "100 ms; s6: 1 s; runit, daemontools: none, as the child lived 1.1 s). "
                 f"160 cycles: {cycle['n']} (max {fmt(cycle['max'], 1)} ms).")
    lines.append(f"Upgrade 130: a {upgrade['bytes'] / 1048576:.2f} MiB package unpacked "
                 "into a data directory on an ext4 image (loop device), from the requesting "
                 "child's exit to the first child of the new cycle, including making the "
                 f"unpack and the record durable; {upgrade['n']} upgrades "
                 f"(max {fmt(upgrade['max'], 1)} ms); over data mode, an earlier upgrade "
                 f"running from the data directory: {upgrade_data['n']} upgrades "
                 f"(max {fmt(upgrade_data['max'], 1)} ms).")
    if "calibrated" in rst["minder"]:
        lines.append(f"sleep(10) under libfaketime x{FAST} takes {fmt(r['sleep_ms'], 2)} ms real; "
                     f"minder restart overhead beyond that: "
                     f"{fmt(rst['minder']['calibrated'], 2)} ms.")
    lines.append("Shared libraries: " + "; ".join(
        f"{c}: {' '.join(size[c]['lib_names']) or 'none'}"
        for c in ["minder", "minder-musl", "runit", "s6", "daemontools"]))
    if r["board"]:
        lines.append(f"32-bit ARM board build (static, musl), stripped: {r['board'] / 1024:.1f} KiB")
    return lines


def before_after_table(r):
    """minder built from the earlier revision beside this one, and runit."""
    w = 14
    cycle, upgrade, boot = r["cycle"], r["upgrade"], r["boot"]
    arm = (r["boot_arm"] or {}).get("rows", {})
    lines = [f"minder before ({r['before_rev']}) and after".ljust(W0)
             + "".join(c.rjust(w) for c in ("before", "after", "runit", "after/before")),
             "-" * (W0 + 4 * w)]

    def row(label, table, before, after, digits=1, runit=None):
        b, a = table.get(before, {}).get("ms"), table.get(after, {}).get("ms")
        r_ms = table.get(runit, {}).get("ms") if runit else None
        ratio = fmt(a / b, 2) if a is not None and b else "-"
        lines.append(label.ljust(W0) + "".join(
            x.rjust(w) for x in (fmt(b, digits), fmt(a, digits), fmt(r_ms, digits), ratio)))
    row("160 cycle, all four back ms", cycle, "minder-before", "minder")
    lines.append("CPU ms per 160 cycle".ljust(W0) + "".join(
        fmt(cycle.get(c, {}).get("cpu_ms"), 1).rjust(w) for c in ("minder-before", "minder")))
    row("upgrade 130, first child back ms", upgrade, "minder-before", "minder")
    row("  over data mode", r["upgrade_data"], "minder-before", "minder")
    row("boot path ms, natively", boot, "minder-before", "minder", runit="runit")
    row("boot path ms, ARM, board-like", arm, "before", "after", runit="runit")
    lines.append("")
    lines.append(
        f"Boot path: from the supervisor's start until all four children had started, "
        f"medians of {BOOT_STARTS} starts, the supervisors taking turns. Natively: the glibc "
        "builds with this machine's sh, killall and /proc, runit as Debian ships it. ARM, "
        "board-like: the static board builds (32-bit ARM, musl) under qemu-user, as in the "
        "table below.")
    if "minder-before" in upgrade:
        diff = upgrade["minder"]["ms"] - upgrade["minder-before"]["ms"]
        over = r["upgrade_data"]
        diff_data = over["minder"]["ms"] - over["minder-before"]["ms"]
        lines.append(f"Upgrade 130: the change costs {diff:+.1f} ms per first upgrade and "
                     f"{diff_data:+.1f} ms per upgrade over data mode in this run.")
    return lines


def board_table(r):
    """The boot path as on a board, its kill phase on its own."""
    w = 13
    lines = ["boot path as on a board, ms".ljust(W0) + "".join(
        c.rjust(w) for c in ("minder", "kill phase", "minder-kill", "runit", "minder/runit")),
        "-" * (W0 + 5 * w)]
    counts = []
    for label, result in (("static x86-64, natively", r["boot_board"]),
                          ("ARM board binary under qemu", r["boot_arm"])):
        if not result:
            lines.append(label.ljust(W0) + "not measured".rjust(w))
            continue
        rows = result["rows"]
        minder, kill, runit = (rows[c]["ms"] for c in ("after", "kill", "runit"))
        lines.append(label.ljust(W0) + "".join(x.rjust(w) for x in (
            fmt(minder, 1), fmt(kill, 1), fmt(minder - kill, 1), fmt(runit, 1),
            fmt(minder / runit, 2))))
        counts.append(result["processes"])
    lines.append("")
    lines.append(
        "Each in a PID namespace with its own /proc (at most "
        f"{max(counts, default='-')} processes in it), in a root whose sh and killall are "
        "Debian's static BusyBox for the machine, runit being BusyBox's runsvdir and runsv "
        "built static with those two alone. Kill phase: the daemon's four kill commands "
        "(sh -c \"killall -9 'NAME' ...\"), started side by side by its own code "
        "(bench/kill_phase.cpp) and all waited for, timed alone in the same root, taking turns "
        "with the boots; minder-kill: the rest of minder's boot path, its own start and the "
        f"four children's. Medians of {BOOT_STARTS}.")
    return lines


def launch_table(launch):
    limits = sorted({k[0] for k in launch})
    lines = ["launch cost, fork to exec of /bin/true, median ms (fork+exec+wait in brackets)",
             "RLIMIT_NOFILE".ljust(W0) + "".join(str(x).rjust(22) for x in limits)]
    for method, label in [("none", "no closing"), ("daemon", "close_inherited_fds"),
                          ("loop", "close() loop to the limit")]:
        lines.append(label.ljust(W0) + "".join(
            f"{launch[(x, method)][0]:.3f} ({launch[(x, method)][1]:.3f})".rjust(22)
            for x in limits))
    lo, hi = limits[0], limits[-1]
    if hi > lo:
        per_fd = (launch[(hi, "loop")][0] - launch[(lo, "loop")][0]) / (hi - lo) * 1e6
        lines.append(f"the close() loop adds {per_fd:.0f} ns per descriptor of the limit")
    return lines


def report(r):
    return (tools_table(r) + [""] + before_after_table(r) + [""] + board_table(r) + [""]
            + launch_table(r["launch"]))
