#!/usr/bin/python3
"""The update on the emulated device against busybox `cp -a` of the same card
trees onto the same kind of partition (ext4, same size), in the same boot:
large files and 1,000 small files; and against busybox dd of the same files
through a 128 KiB buffer, the update's own road (cp -a copies in the kernel,
with sendfile). Each copy starts with cold caches and ends with everything
flushed. The update is timed inside the guest, as the references are, from
the card's mount to its unmount (the walk, the copies and the flush between
them), with its standard output going nowhere as init gives it; the time
from the HOME press to the screen's prompt, seen from outside, is printed
beside it. --screen picks the machine and its screen (zqdevice.BENCH_SCREENS);
--phases has the kernel trace the update (which slows it a little) and
prints where its time goes: the plan, the staging (with the drawing), the
flush up to the commit point, the renames, the rest up to the unmount.
--old-kernel-order has uname report a 2.6 release to zqrecovery, which then
takes the order of the kernels whose one flush clears a file's write error:
each staged file written out and waited for before it is closed. --sealed
seals both trees with the build's zqbmp: the update then checks them against
their manifests and hashes every file it writes, and is set against busybox
cp -a followed by sha256sum of the copies, which does the same work.

Usage: update_bench.py BUILD_DIR [--screen virt|vexpress|on_request] [--phases]
                       [--old-kernel-order] [--sealed]"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zqdevice  # noqa: E402
from zqdevice import Boot, Cards, Device, Faults, Partitions, wait_until  # noqa: E402

HOME, NEXT = 50, 58
LARGE = 8, 8 << 20       # files, bytes each
SMALL = 1000, 1024
PROMPT = "press HOME key to main menu..."


def make_card_tree(root):
    def write(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for i in range(LARGE[0]):
        write(f"{root}/zq/update00/system/large/l{i}.bin", os.urandom(LARGE[1]))
    for i in range(SMALL[0]):
        write(f"{root}/zq/update01/system/small/d{i // 100}/s{i:04}.txt", os.urandom(SMALL[1]))


MS_REMOUNT = 0x20
FBIOPAN_DISPLAY = 0x4606
# A traced system call of the update (either tracer's format): its time, name,
# and the enter's arguments or the exit's result.
TRACE_CALL = re.compile(r"^\s*(?:\S+-\d+\s+\[\d+\]\s+\S+\s+)?(\d+\.\d+):? .*?"
                        r"\bsys_(\w+)(?:\((.*)\)| -> (\S+))")
SHADOW = re.compile(r"^\s*(\d+\.\d+) \|.*?([\d.]+) us\s+\|\s+fb_deferred_io_(\w+)")


def phases(trace, files):
    """Where the update's time goes, from the kernel's trace of an update of
    that many files (a screen line each)."""
    calls = []  # (time, name, arguments or None for an exit)
    shadow = []  # (time, microseconds, what) of the kernel's work on a shadow screen
    for line in trace.splitlines():
        if "zqrec" in line:
            m = TRACE_CALL.match(line)
            if m:
                calls.append((float(m.group(1)), m.group(2), m.group(3)))
        m = SHADOW.match(line)
        if m:
            shadow.append((float(m.group(1)), float(m.group(2)), m.group(3)))

    def first(name, after=0.0, test=lambda a: True):
        return next(t for t, n, a in calls if n == name and a is not None and t > after and test(a))

    def flags(arguments):
        return int(re.search(r"flags: (\w+)", arguments).group(1), 16)

    mounted = next(t for t, n, a in calls if n == "mount" and a is None)
    remounted = next(t for t, n, a in calls if n == "mount" and a is None and t > mounted)
    begun = min(first(n, remounted) for n in ("unlink", "unlinkat") if any(c[1] == n for c in calls))
    flushed = first("sync", begun)
    renamed = [t for t, n, a in calls if n.startswith("rename") and a is not None and t > flushed]
    restored = first("mount", flushed, lambda a: flags(a) & MS_REMOUNT)
    unmounted = first("umount", restored)
    pans = sum(1 for t, n, a in calls if n == "ioctl" and a and f"cmd: {FBIOPAN_DISPLAY:x}" in a)
    during = [(us, what) for t, us, what in shadow if mounted <= t <= unmounted]
    copies = [us for us, what in during if what == "work"]
    faults = [us for us, what in during if what != "work"]
    return (f"plan {begun - remounted:.2f} s; staging {flushed - begun:.2f} s; flush to the "
            f"commit point {renamed[0] - flushed:.2f} s; {len(renamed)} renames "
            f"{renamed[-1] - renamed[0]:.2f} s; to the unmount {unmounted - renamed[-1]:.2f} s; "
            f"{pans} pans; the shadow screen: {len(copies)} copies taking {sum(copies) / 1000:.0f}"
            f" ms, {len(faults)} write faults taking {sum(faults) / 1000:.0f} ms, "
            f"{(sum(copies) + sum(faults)) / 1000 / files:.2f} ms a file")


def time_update(dev, item, trace):
    """Seconds from the card's mount to its unmount in the guest, seconds from
    HOME on the item to the update screen's prompt, the screen's lines, and
    with trace the update's phases."""
    for _ in range(item):
        dev.press(NEXT)
    time.sleep(1)
    mark = dev.mark()
    start = time.monotonic()
    dev.press(HOME, hold=0)
    label = zqdevice.MENU[item][0]
    while True:
        top = dev.screen_text(0)
        lines = top + dev.screen_text(5 * dev.reader.ch + zqdevice.PROGRESS_GAP)
        if top[3:4] == [label] and PROMPT in lines:
            seen = time.monotonic() - start
            break
        time.sleep(0.1)
    mounted = dev.wait_for_line(r"^zq: card mounted (\S+)$", start=mark)
    unmounted = dev.wait_for_line(r"^zq: card unmounted (\S+)$", start=mark)
    where = ""
    if trace:
        n = dev.wait_for_line(r"^zq: trace (\d+)$", start=mark).group(1)
        where = phases(dev.share_file(f"trace-{n}.txt"), SMALL[0] if item == 2 else LARGE[0])
    return float(unmounted.group(1)) - float(mounted.group(1)), seen, lines, where


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--screen", default="virt", choices=sorted(zqdevice.BENCH_SCREENS))
    parser.add_argument("--phases", action="store_true")
    parser.add_argument("--old-kernel-order", action="store_true")
    parser.add_argument("--sealed", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        make_card_tree(tmp)
        for tree in ("update00", "update01") if args.sealed else ():
            subprocess.run(["qemu-arm", os.path.join(args.build, "arm", "bin", "zqbmp"),
                            "update-seal", os.path.join(tmp, "zq", tree)], check=True,
                           capture_output=True)
        with Device(build=args.build, screen=zqdevice.BENCH_SCREENS[args.screen],
                    cards=Cards(internal=tmp, size_mb=256, times=True),
                    partitions=Partitions(size_mb=192, host_flush=False),
                    faults=Faults(old_kernel="uname" if args.old_kernel_order else False),
                    boot=Boot(programs=["cpbench", "zqrecovery"], quiet=True, trace=args.phases,
                              timeout=600)) as dev:
            cp, dd, cs = {}, {}, {}
            for tree in ("update00", "update01"):
                for times, name in ((cp, "cp"), (dd, "dd"), (cs, "cpsum")):
                    m = dev.wait_for_line(rf"^zq: {name} {tree} (\S+) (\S+)$", timeout=600)
                    times[tree] = float(m.group(2)) - float(m.group(1))
            assert wait_until(lambda: any(l.startswith("Press HOME key")
                                          for l in dev.screen_text()), 60), "no countdown"
            dev.press(HOME)
            time.sleep(2)
            large, large_seen, large_lines, large_phases = time_update(dev, 1, args.phases)
            checked = any(l.startswith("checked against") for l in large_lines)
            assert checked == args.sealed, large_lines
            dev.press(HOME)
            time.sleep(2)
            small, small_seen, lines, small_phases = time_update(dev, 2, args.phases)
            assert any(l.endswith("copied 1024 bytes.") for l in lines), lines
    mib = LARGE[0] * LARGE[1] / (1 << 20)
    order = ", in the old kernels' order" if args.old_kernel_order else ""
    print(f"on {args.screen}{order}:")
    print(f"update, {LARGE[0]} x {LARGE[1] >> 20} MiB: {large:.2f} s, {mib / large:.1f} MiB/s; "
          f"cp -a {cp['update00']:.2f} s, {mib / cp['update00']:.1f} MiB/s, throughput ratio "
          f"{cp['update00'] / large:.2f} (target >= 0.9); dd bs=128k {dd['update00']:.2f} s, "
          f"ratio {dd['update00'] / large:.2f}; HOME to prompt {large_seen:.2f} s")
    if large_phases:
        print("  " + large_phases)
    print(f"update, {SMALL[0]} x {SMALL[1]} bytes: {small:.2f} s; cp -a {cp['update01']:.2f} s, "
          f"time ratio {small / cp['update01']:.2f} (target <= 1.2); dd bs=128k "
          f"{dd['update01']:.2f} s, ratio {small / dd['update01']:.2f}; HOME to prompt "
          f"{small_seen:.2f} s")
    if small_phases:
        print("  " + small_phases)
    if args.sealed:
        print(f"sealed: against cp -a + sha256sum ({cs['update00']:.2f} s, {cs['update01']:.2f} s), "
              f"time ratio {large / cs['update00']:.2f} (target <= 1.0) and "
              f"{small / cs['update01']:.2f} (target <= 1.2)")


if __name__ == "__main__":
    main()
