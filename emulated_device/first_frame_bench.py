#!/usr/bin/python3
"""Time from starting zqrecovery and zqanimation to their first frame on the
emulated device (800 x 480 x 32, cold caches as at boot), best and median of
nine, measured inside the guest. With --against DIR, that build's programs
run in the same boot, interleaved with these (as zqrecovery.against and
zqanimation.against).

--screen picks the machine and its screen (zqdevice.BENCH_SCREENS).

Usage: first_frame_bench.py BUILD_DIR [--against ARM_BIN_DIR] [--screen NAME]"""
import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zqdevice import BENCH_SCREENS, Boot, Device, File, Partitions  # noqa: E402

PROGRAMS = ("zqrecovery", "zqanimation")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--against")
    parser.add_argument("--screen", default="virt", choices=sorted(BENCH_SCREENS))
    args = parser.parse_args()
    extra = {}
    if args.against:
        for name in PROGRAMS:
            with open(os.path.join(args.against, name), "rb") as f:
                extra[f"/system/bin/{name}.against"] = File(f.read(), mode=0o755)
    times = {}
    with Device(build=args.build, screen=BENCH_SCREENS[args.screen],
                partitions=Partitions(files=extra),
                boot=Boot(programs=["firstframe"], quiet=True, timeout=300)) as dev:
        dev.wait_for_line(r"^zq: first frames done", timeout=300)
        for line in dev.console():
            parts = line.split()
            if line.startswith("zq: first frame ") and len(parts) == 6:
                times.setdefault(parts[3], []).append(float(parts[5]) - float(parts[4]))
    for name in sorted(times):
        t = times[name]
        print(f"first frame, {name}: best {min(t) * 1000:.0f} ms, median "
              f"{statistics.median(t) * 1000:.0f} ms of {len(t)} (cold caches, emulated device, {args.screen})")


if __name__ == "__main__":
    main()
