# SPDX-License-Identifier: MIT
"""An upgrade from end to end: child 0 exits with 130 with a package waiting,
and the time runs until the first child of the new cycle, which starts from
the unpacked data directory, an ext4 image of its own on a loop device. A
first upgrade, and one over an earlier upgrade (data mode), where the daemon
reads the package whole before it unpacks it."""
import io
import os
import shutil
import subprocess
import tarfile

from procs import log, median, wait_for
from trees import STARTS, STATE_DIR, Tree

PACKAGE_BYTES = 4 << 20  # the upgrade package


def write_package(bench, ids, path):
    """A gzip tar of the bench child under every id, and incompressible
    padding: PACKAGE_BYTES in all."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for cid in ids:
            tar.add(bench.child, arcname=cid)
        pad = os.urandom(max(PACKAGE_BYTES - len(buf.getvalue()) - 4096, 0))
        info = tarfile.TarInfo("pad")
        info.size = len(pad)
        tar.addfile(info, io.BytesIO(pad))
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def earlier_upgrade(bench, ids, data):
    """The children and a record that selects them, in data: an upgrade ran."""
    for cid in ids:
        shutil.copy2(bench.child, os.path.join(data, cid))
    with open(os.path.join(data, ".bootchk"), "w") as f:
        f.write('{"version":"1.0.12.3","plugindata":1}')


def upgrade_once(bench, config, image, over_data):
    """One upgrade, over an earlier one when over_data: (ms from the exit to
    the first child back, package bytes)."""
    tree = Tree(bench, config, exits={0: (100, 130)})
    data = os.path.join(tree.dir, "data")
    os.makedirs(data)
    for cmd in (["truncate", "-s", "64M", image], ["mkfs.ext4", "-q", "-F", image],
                ["mount", "-o", "loop", image, data]):
        subprocess.run(cmd, check=True)
    package = os.path.join(STATE_DIR, "qvupgrade.tgz")
    try:
        if over_data:
            earlier_upgrade(bench, tree.ids, data)
        write_package(bench, tree.ids, package)
        size = os.path.getsize(package)
        os.sync()

        def gap():
            events = bench.log.of(tree.ids)
            end = next((ns for kind, cid, _, ns in events
                        if kind == "end" and cid == tree.ids[0]), None)
            later = [ns for kind, _, _, ns in events if kind == "start" and end and ns > end]
            return (min(later) - end) / 1e6 if later else None
        tree.start()
        wait_for(lambda: gap() is not None, 60, "the cycle after the upgrade")
        return gap(), size
    finally:
        tree.stop()
        if os.path.exists(package):  # the daemon removes it once installed
            os.unlink(package)
        subprocess.run(["umount", data], check=True)
        os.unlink(image)


def measure_upgrade(bench, configs, over_data=False):
    """The upgrade of each daemon in configs, their upgrades taking turns; over
    an earlier upgrade when over_data."""
    times = {c: [] for c in configs}
    image = os.path.join(bench.root, "data.img")
    size = 0
    for _ in range(STARTS):
        for config in configs:
            ms, size = upgrade_once(bench, config, image, over_data)
            times[config].append(ms)
    rows = {}
    for config in configs:
        t = times[config]
        rows[config] = {"ms": median(t), "n": len(t), "max": max(t), "bytes": size}
        log(f"  upgrade 130{' over data mode' if over_data else ''} {config}: {rows[config]}")
    return rows
