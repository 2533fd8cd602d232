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
beside it.

Usage: update_bench.py BUILD_DIR"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zqdevice  # noqa: E402
from zqdevice import Device, wait_until  # noqa: E402

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


def time_update(dev, item):
    """Seconds from the card's mount to its unmount in the guest, seconds from
    HOME on the item to the update screen's prompt, and the screen's lines."""
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
    return float(unmounted.group(1)) - float(mounted.group(1)), seen, lines


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    with tempfile.TemporaryDirectory() as tmp:
        make_card_tree(tmp)
        with Device(build=build, machine="virt", boot=["cpbench", "zqrecovery"],
                    internal_card=tmp, card_mb=160, partition_mb=192, quiet=True,
                    card_times=True, host_flush=False, timeout=600) as dev:
            cp, dd = {}, {}
            for tree in ("update00", "update01"):
                m = dev.wait_for_line(rf"^zq: cp {tree} (\S+) (\S+)$", timeout=600)
                cp[tree] = float(m.group(2)) - float(m.group(1))
                m = dev.wait_for_line(rf"^zq: dd {tree} (\S+) (\S+)$", timeout=600)
                dd[tree] = float(m.group(2)) - float(m.group(1))
            assert wait_until(lambda: any(l.startswith("Press HOME key")
                                          for l in dev.screen_text()), 60), "no countdown"
            dev.press(HOME)
            time.sleep(2)
            large, large_seen, _ = time_update(dev, 1)
            dev.press(HOME)
            time.sleep(2)
            small, small_seen, lines = time_update(dev, 2)
            assert any(l.endswith("copied 1024 bytes.") for l in lines), lines
    mib = LARGE[0] * LARGE[1] / (1 << 20)
    print(f"update, {LARGE[0]} x {LARGE[1] >> 20} MiB: {large:.2f} s, {mib / large:.1f} MiB/s; "
          f"cp -a {cp['update00']:.2f} s, {mib / cp['update00']:.1f} MiB/s, throughput ratio "
          f"{cp['update00'] / large:.2f} (target >= 0.9); dd bs=128k {dd['update00']:.2f} s, "
          f"ratio {dd['update00'] / large:.2f}; HOME to prompt {large_seen:.2f} s")
    print(f"update, {SMALL[0]} x {SMALL[1]} bytes: {small:.2f} s; cp -a {cp['update01']:.2f} s, "
          f"time ratio {small / cp['update01']:.2f} (target <= 1.2); dd bs=128k "
          f"{dd['update01']:.2f} s, ratio {small / dd['update01']:.2f}; HOME to prompt "
          f"{small_seen:.2f} s")


if __name__ == "__main__":
    main()
