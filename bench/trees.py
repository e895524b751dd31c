# SPDX-License-Identifier: MIT
"""The supervisors under test. A Tree is one supervisor with the four bench
children, in a directory of its own; the Bench holds the programs they run,
each a fresh copy written back with sync, and the scratch space."""
import os
import shutil
import subprocess
import tempfile
import time

from procs import ChildLog, descendants, exe_id, kill_below, wait_for

FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
STATE_DIR = "/tmp/.uci"
CONFIGS = ["minder", "minder+hb", "minder-musl", "runit", "s6", "daemontools"]
TOOL_BINARIES = {
    "runit": ["runsvdir", "runsv"],
    "s6": ["s6-svscan", "s6-supervise"],
    "daemontools": ["svscan", "supervise"],
}
STARTS = 5  # starts per configuration for memory, idle cost, cycles and upgrades


def minder_config(ids, watched=()):
    """The daemon's config: ids as its children, those in watched with
    heartbeat checking."""
    slots = [f'{{"base":"{cid}"' + (',"excheck":true' if cid in watched else "") + "}"
             for cid in ids]
    return '{"__watch":{"processes":[' + ",".join(slots) + "]}}\n"


def age(*paths):
    """Dates paths a minute back. runsvdir waits a second before it starts the
    services of a directory changed within the current second; on a device,
    they were made long before."""
    then = time.time() - 60
    for path in paths:
        os.utime(path, (then, then))


class Tree:
    """One supervisor with its four children, in a directory of its own."""

    serial = 0

    def __init__(self, bench, config, rate=None, exits=None):
        Tree.serial += 1
        self.bench = bench
        self.config = config
        self.kind = "minder" if config.startswith("minder") else config
        self.rate = rate
        tag = f"{bench.tag}{Tree.serial:03d}"
        self.ids = [f"{tag}c{i}" for i in range(4)]
        self.dir = os.path.join(bench.root, tag)
        self.name = f"{tag}m"  # the daemon's name, hence its run file
        self.proc = None
        self.started_ns = None
        for i, (ms, code) in (exits or {}).items():
            with open(os.path.join(bench.ctl, self.ids[i]), "w") as f:
                f.write(f"{ms} {code}\n")

    def minder_argv(self, env):
        prog = os.path.join(self.dir, "prog")
        os.makedirs(prog)
        # A link, not a copy: a freshly written copy would count its not yet
        # written back pages as the daemon's dirty memory.
        exe = os.path.join(prog, self.name)
        os.symlink(self.bench.daemon(self.config), exe)
        for cid in self.ids:
            os.link(self.bench.child, os.path.join(prog, cid))
        with open(os.path.join(prog, "config"), "w") as f:
            f.write(minder_config(self.ids, self.ids[:1] if self.config == "minder+hb" else ()))
        if self.rate:
            env.update(LD_PRELOAD=FAKETIME, FAKETIME=f"+0 x{self.rate}")
        return [exe]

    def scanner_argv(self, env):
        scan = os.path.join(self.dir, "scan")
        for cid in self.ids:
            os.makedirs(os.path.join(scan, cid))
            os.link(self.bench.child, os.path.join(scan, cid, "run"))
        age(scan, *(os.path.join(scan, cid) for cid in self.ids))
        env["PATH"] = self.bench.bin + ":" + env["PATH"]
        return [os.path.join(self.bench.bin, TOOL_BINARIES[self.kind][0]), scan]

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        env = dict(os.environ, BENCH_LOG=self.bench.log.path, BENCH_CTL=self.bench.ctl)
        argv = self.minder_argv(env) if self.kind == "minder" else self.scanner_argv(env)
        out = open(os.path.join(self.dir, "out"), "w")
        self.started_ns = time.monotonic_ns()  # the clock of the child's time stamps
        self.proc = subprocess.Popen(argv, cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=out, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        out.close()
        return self

    def pids(self):
        return descendants(self.proc.pid) if self.proc else set()

    def split(self):
        """(supervisor pids, child pids) of the tree now."""
        sup, kids = set(), set()
        for pid in self.pids():
            (kids if exe_id(pid) == self.bench.child_id else sup).add(pid)
        return sup, kids

    def started(self):
        return {e[1] for e in self.bench.log.of(self.ids, "start")} == set(self.ids)

    def boot_ms(self):
        """From the supervisor's start until all four children had started."""
        return self.bench.log.all_started(self.ids, self.started_ns)

    def wait_ready(self, seconds=20, all_running=True):
        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.config} ended early: {self.output()}")
            return self.started() and (not all_running or len(self.split()[1]) == 4)
        wait_for(ready, seconds, f"{self.config} to start its children")
        return self

    def output(self):
        try:
            with open(os.path.join(self.dir, "out")) as f:
                return f.read()[-400:]
        except OSError:
            return ""

    def stop(self):
        if self.proc:
            kill_below(self.proc.pid)
            self.proc.wait()
        for cid in self.ids:
            for path in (os.path.join(self.bench.ctl, cid),
                         os.path.join(STATE_DIR, f"{cid}.alive")):
                if os.path.exists(path):
                    os.unlink(path)
        run_file = os.path.join(STATE_DIR, f"{self.name}.run")
        if self.kind == "minder" and os.path.exists(run_file):
            os.unlink(run_file)


class Bench:
    def __init__(self, args):
        self.root = tempfile.mkdtemp(prefix="minder-bench.")
        self.tag = f"b{os.getpid() % 100000}"
        self.ctl = os.path.join(self.root, "ctl")
        os.makedirs(self.ctl)
        self.log = ChildLog(os.path.join(self.root, "child.log"))
        self.launch = os.path.abspath(args.launch)
        # Every program is a fresh copy in bin/, written back by the sync below:
        # the pages of a file not yet written back count as Private_Dirty.
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin)
        self.minder = self.copy(args.minder, "minder")
        self.musl = self.copy(args.musl, "minder-musl")
        self.before = self.copy(args.before, "minder-before") if args.before else None
        for name in sum(TOOL_BINARIES.values(), []):
            self.copy(shutil.which(name), name)
        self.child = self.copy(args.child, "child")  # hard-linked into every tree
        st = os.stat(self.child)
        self.child_id = (st.st_dev, st.st_ino)
        os.sync()  # the programs' pages are clean, as on a device

    def copy(self, path, name):
        dest = os.path.join(self.bin, name)
        shutil.copy2(path, dest)
        return dest

    def daemon(self, config):
        return {"minder-musl": self.musl, "minder-before": self.before}.get(config, self.minder)

    def programs(self, config):
        if config.startswith("minder"):
            return [self.daemon(config)]
        return [os.path.join(self.bin, name) for name in TOOL_BINARIES[config]]
