# SPDX-License-Identifier: MIT
"""Processes of the bench: collecting orphans, walking and killing trees,
reading counters from /proc, and the bench child's event log."""
import ctypes
import os
import signal
import statistics
import sys
import time


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values) if values else None


def become_subreaper():
    """Orphans of the trees come to us, so that none is left behind."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def parent_map():
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if fields and fields[0] != "Z":
            parents[int(entry)] = int(fields[1])
    return parents


def descendants(root):
    """root and every live process below it."""
    parents = parent_map()
    if root not in parents:
        return set()
    kids = {}
    for pid, ppid in parents.items():
        kids.setdefault(ppid, []).append(pid)
    found, todo = set(), [root]
    while todo:
        pid = todo.pop()
        found.add(pid)
        todo.extend(kids.get(pid, []))
    return found


def exe_id(pid):
    try:
        st = os.stat(f"/proc/{pid}/exe")
        return (st.st_dev, st.st_ino)
    except OSError:
        return None


def kill_below(root, keep=()):
    """Kills root and everything below it, except the pids in keep. Each one is
    stopped first, so that none can start another while we look."""
    stopped = set(keep)
    for _ in range(20):
        pids = descendants(root) - stopped
        if not pids:
            break
        for pid in pids:
            try:
                os.kill(pid, signal.SIGSTOP)
            except ProcessLookupError:
                pass
        stopped |= pids
    for pid in stopped - set(keep):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    reap()


def read_kib(path, keys):
    """Sums of the "Key: N kB" fields of a /proc file."""
    out = dict.fromkeys(keys, 0)
    try:
        with open(path) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in out:
                    out[key] = int(rest.split()[0])
    except OSError:
        pass
    return out


def schedstat(pid):
    """(ns on the CPU, ns waiting for it) of every thread of pid."""
    cpu = wait = 0
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                fields = f.read().split()
            cpu, wait = cpu + int(fields[0]), wait + int(fields[1])
    except (OSError, ValueError, IndexError):
        pass
    return cpu, wait


def cpu_with_reaped(pid):
    """ns of CPU of pid and of the children it has collected."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[13]) + int(fields[14])  # cutime, cstime
    return schedstat(pid)[0] + ticks * 1e9 / os.sysconf("SC_CLK_TCK")


def idle_counters(pids):
    """Voluntary context switches (wakeups) and CPU ns of every thread of pids."""
    wakeups = cpu = 0
    for pid in pids:
        try:
            tids = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tids:
            wakeups += read_kib(f"/proc/{pid}/task/{tid}/status",
                                ["voluntary_ctxt_switches"])["voluntary_ctxt_switches"]
        cpu += schedstat(pid)[0]
    return wakeups, cpu


def wait_for(pred, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        reap()
        if pred():
            return
        time.sleep(0.02)
    raise RuntimeError(f"timed out waiting for {what}")


class ChildLog:
    """Events of the bench child: (kind, id, pid, ns), in order of writing."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.events = []
        open(path, "a").close()

    def poll(self):
        with open(self.path) as f:
            f.seek(self.offset)
            text = f.read()
        cut = text.rfind("\n") + 1
        self.offset += len(text[:cut].encode())
        for line in text[:cut].splitlines():
            parts = line.split()
            if len(parts) == 4:
                self.events.append((parts[0], parts[1], int(parts[2]), int(parts[3])))
        return self.events

    def of(self, ids, kind=None):
        ids = set(ids)
        return [e for e in self.poll() if e[1] in ids and (kind is None or e[0] == kind)]

    def all_started(self, ids, since_ns):
        """ns from since_ns until the last of ids had started (its first start
        after since_ns), or None while one has not."""
        first = {}
        for _, cid, _, ns in self.of(ids, "start"):
            if ns >= since_ns:
                first.setdefault(cid, ns)
        return (max(first.values()) - since_ns) / 1e6 if len(first) == len(set(ids)) else None
