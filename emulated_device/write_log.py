"""A disk's write log (QEMU's blklogwrites, in the dm-log-writes format) read
back and replayed onto its partitions as they were at boot: the states a power
cut can leave, at every flush and with writes since the last flush lost, as a
volatile disk cache loses them."""
import os
import random
import shutil
import struct
import subprocess
import types

MAGIC = 0x6A736677736872
FLUSH, DISCARD = 1 << 0, 1 << 2


class Entry:
    __slots__ = ("sector", "count", "flags", "offset")

    def __init__(self, sector, count, flags, offset):
        self.sector, self.count, self.flags, self.offset = sector, count, flags, offset

    @property
    def is_write(self):
        return not self.flags & (FLUSH | DISCARD) and self.count > 0


def read_log(path):
    """The log's entries in the order the disk completed them, and its sector
    size. A write's data follows its header sector in the log."""
    with open(path, "rb") as f:
        head = f.read(32)
        magic, _version, _flushed, size = struct.unpack("<QQQI", head[:28])
        if magic != MAGIC:
            raise ValueError(f"{path} is not a write log")
        end = os.fstat(f.fileno()).st_size
        entries, at = [], size
        while at + size <= end:
            f.seek(at)
            sector, count, flags, _ = struct.unpack("<QQQQ", f.read(32))
            data = 0 if flags & (FLUSH | DISCARD) else count * size
            if at + size + data > end:
                break
            entries.append(Entry(sector, count, flags, at + size))
            at += size + data
    return entries, size


def count_entries(path):
    """How many entries the log holds now (QEMU may still be writing it)."""
    try:
        return len(read_log(path)[0])
    except (ValueError, struct.error):
        return 0


class Replay:
    """Replays a log onto copies of the partitions ({name: image}) of a disk
    laid out as {name: (first sector, sectors)}."""

    def __init__(self, log, initial, layout, work):
        self.log = log
        self.entries, self.sector_size = read_log(log)
        self.layout = layout
        self.work = work
        self.current = {}
        os.makedirs(work, exist_ok=True)
        for name, image in initial.items():
            self.current[name] = os.path.join(work, f"current-{name}.img")
            subprocess.run(["cp", "--sparse=always", image, self.current[name]], check=True)

    def _apply(self, images, entries):
        handles = {name: open(path, "r+b") for name, path in images.items()}
        with open(self.log, "rb") as log:
            for e in entries:
                for name, (first, count) in self.layout.items():
                    if first <= e.sector < first + count:
                        log.seek(e.offset)
                        handles[name].seek((e.sector - first) * self.sector_size)
                        handles[name].write(log.read(e.count * self.sector_size))
        for h in handles.values():
            h.close()

    def _state(self, extra):
        images = {}
        for name, path in self.current.items():
            images[name] = os.path.join(self.work, f"state-{name}.img")
            subprocess.run(["cp", "--sparse=always", path, images[name]], check=True)
        self._apply(images, extra)
        return images

    def states(self, dropped=3, seed=0):
        """Yields (entries on storage, images) for every state a cut can leave:
        at each flush everything before it, and before it `dropped` states
        that lose a random part of the writes since the flush before (the
        last of them loses all but the first). The images are rewritten for
        each state."""
        rng = random.Random(seed)
        pending, applied = [], 0
        for i, e in enumerate(self.entries + [None]):
            if e is not None and not e.flags & FLUSH:
                if e.is_write:
                    pending.append(e)
                continue
            if len(pending) > 1:
                for k in range(dropped):
                    kept = pending[:1] if k == dropped - 1 else \
                        [w for w in pending if rng.random() < 0.5]
                    yield applied, self._state(kept)
            self._apply(self.current, pending)
            pending, applied = [], i + 1 if e is not None else i
            yield applied, self._state([])


def read_state(images, work):
    """A state as the next boot finds it: per partition, the status of
    e2fsck -fn once the journal is replayed (as a mount replays it) and a
    host folder holding its tree, read with debugfs. The images stay as they
    are."""
    found = {}
    for name, image in images.items():
        copy = os.path.join(work, f"checked-{name}.img")
        subprocess.run(["cp", "--sparse=always", image, copy], check=True)
        subprocess.run(["e2fsck", "-E", "journal_only", "-y", copy], capture_output=True)
        check = subprocess.run(["e2fsck", "-fn", copy], capture_output=True, text=True)
        tree = os.path.join(work, f"tree-{name}")
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(tree)
        subprocess.run(["debugfs", "-R", f"rdump / {tree}", copy], capture_output=True,
                       check=True)
        os.remove(copy)
        found[name] = (check.returncode, check.stdout, tree)
    return found


def host_path(trees, path):
    """Where a device path lies in host copies of the partitions ({name: folder})."""
    name, rest = path.strip("/").split("/", 1)
    return os.path.join(trees[name], rest)


def visible(trees, roots, is_temporary):
    """What the platform sees below roots ({path: bytes, or ("link", target)}),
    and the temporary names there, in host copies of the partitions ({name: folder})."""
    seen, temps = {}, []
    for root in roots:
        top = host_path(trees, root)
        for directory, dirs, names in os.walk(top):
            for name in dirs + names:
                local = os.path.join(directory, name)
                path = root + local[len(top):]
                if is_temporary(name):
                    temps.append(path)
                elif os.path.islink(local):
                    seen[path] = ("link", os.readlink(local))
                elif os.path.isfile(local):
                    with open(local, "rb") as f:
                        seen[path] = f.read()
            dirs[:] = [d for d in dirs if not is_temporary(d)]
    return seen, temps


def fnv(h, data):
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def read_record(trees, path):
    """The update's commit record at path (its format: recovery/update/commit_record.h):
    its road, its staged (temporary, destination) pairs, the file it names as
    written in place, and whether it is sealed; None without one."""
    local = host_path(trees, path)
    if not os.path.exists(local):
        return None
    with open(local, "rb") as f:
        fields = f.read().split(b"\0")[:-1]
    h, staged, in_place, sealed, i = 2166136261, [], None, False, 2
    for field in fields[:2]:
        h = fnv(h, field + b"\0")
    while i < len(fields):
        kind = fields[i]
        width = {b"S": 3, b"P": 2, b"D": 2, b"W": 1, b"E": 3}[kind]
        if kind == b"E":
            sealed = fields[i + 1:] == [b"%d" % len(staged), b"%x" % h]
            break
        if kind == b"S":
            staged.append((fields[i + 1].decode(), fields[i + 2].decode()))
        in_place = fields[i + 1].decode() if kind == b"P" else None if kind == b"W" else in_place
        for field in fields[i:i + width]:
            h = fnv(h, field + b"\0")
        i += width
    return types.SimpleNamespace(road=fields[1:2], staged=staged, in_place=in_place,
                                 sealed=sealed)
