#!/usr/bin/python3
"""Fault injection: applies each plausible one-line fault of faults.txt, one at
a time, to a scratch copy of the source, rebuilds one preset there and runs
its tests; prints which faults no test caught.

    tests/faults/inject.py [--preset host] [--label unit] [--tests REGEX] [--only REGEX]
                           [--list FILE]

faults.txt holds blocks separated by blank lines:
    file: recovery/update/update.cpp
    why: the walk skips nothing at the top
    -     if (depth == 0 && ...
    +     if (false && ...
The "-" lines must appear exactly once in the file, one after the other (their
indentation aside); they are replaced by the "+" lines. A fault that does not
compile counts as caught by the build.

A fault is caught when any of the tests fails. The suites of the fault's own
layer (NEAREST) run first and stop at their first failure; only a fault they
miss waits for the rest.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The test names (ctest -R) most likely to catch a fault of a file, by the
# start of its path; the longest start that matches wins.
NEAREST = {
    "bmplib/": "Bmp|Files/|bmp_",
    "display/": "Console|Drawing|Fb|Screen|Prepare|Font|Depths/",
    "events/": "Input",
    "animation/": "Animation",
    "deviceinit/": "DeviceInit",
    "shell/": "Programs",
    "recovery/": "Recovery|RebootItems|Programs",
    "recovery/update/": "Update|Roads/|AllOrNothing/|FileByFile/|Sha256|MountTable",
    "integrator/zqbmp/": "Zqbmp|MediaSets/",
}


def nearest(path):
    starts = [s for s in NEAREST if path.startswith(s)]
    return NEAREST[max(starts, key=len)] if starts else None


def read_faults(path):
    faults = []
    block = {}
    for line in open(path).read().splitlines() + [""]:
        if not line.strip():
            if block:
                faults.append(block)
            block = {}
        elif line.startswith("#"):
            continue
        elif line.startswith("file: "):
            block["file"] = line[6:].strip()
        elif line.startswith("why: "):
            block["why"] = line[5:].strip()
        elif line.startswith("- "):
            block.setdefault("old", []).append(line[2:])
        elif line.startswith("+ "):
            block.setdefault("new", []).append(line[2:])
    return faults


def apply(text, old, new):
    """The text with the run of lines old (compared without their indentation)
    replaced by new, indented as the first of them; None unless it is there
    exactly once."""
    lines = text.split("\n")
    want = [l.strip() for l in old]
    found = [i for i in range(len(lines) - len(want) + 1)
             if [l.strip() for l in lines[i:i + len(want)]] == want]
    if len(found) != 1:
        return None
    i = found[0]
    indent = lines[i][:len(lines[i]) - len(lines[i].lstrip())]
    return "\n".join(lines[:i] + [indent + l for l in new] + lines[i + len(want):])


def run(cmd, cwd, timeout):
    try:
        r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        return r.returncode, r.stdout + r.stderr
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preset", default="host")
    parser.add_argument("--label", default="unit")
    parser.add_argument("--tests", default="", help="only the tests matching (ctest -R)")
    parser.add_argument("--only", default="", help="only the faults whose file or why matches")
    parser.add_argument("--list", default=os.path.join(SOURCE, "tests", "faults", "faults.txt"))
    parser.add_argument("--scratch", default="/tmp/zq-faults")
    parser.add_argument("--dry-run", action="store_true", help="only check the faults apply")
    args = parser.parse_args()
    if args.dry_run:
        bad = 0
        for fault in read_faults(args.list):
            text = open(os.path.join(SOURCE, fault["file"])).read()
            if apply(text, fault["old"], fault["new"]) is None:
                print(f"does not apply: {fault['file']}: {fault['why']}")
                bad += 1
        print(f"{len(read_faults(args.list))} faults, {bad} do not apply")
        return 1 if bad else 0

    faults = [f for f in read_faults(args.list) if re.search(args.only, f["file"] + ": " + f["why"])]
    scratch = args.scratch
    src = os.path.join(scratch, "src")
    if os.path.exists(src):
        shutil.rmtree(src)
    files = subprocess.run(["git", "ls-files"], cwd=SOURCE, capture_output=True, text=True,
                           check=True).stdout.split("\n")
    for name in filter(None, files):
        os.makedirs(os.path.dirname(os.path.join(src, name)) or src, exist_ok=True)
        shutil.copy2(os.path.join(SOURCE, name), os.path.join(src, name))
    cache = os.path.join(SOURCE, "build", "device")
    if os.path.isdir(cache) and not os.path.exists(os.path.join(src, "build", "device")):
        os.makedirs(os.path.join(src, "build"), exist_ok=True)
        os.symlink(cache, os.path.join(src, "build", "device"))
    build = os.path.join(src, "build", args.preset)
    status, out = run(["cmake", "--preset", args.preset], src, 600)
    status, out = run(["cmake", "--build", build, "-j2"], src, 3600)
    if status != 0:
        sys.exit("the unchanged copy does not build:\n" + out[-3000:])
    ctest = ["ctest", "--test-dir", build, "-L", args.label, "-j2"] + \
        (["-R", args.tests] if args.tests else [])
    status, out = run(ctest, src, 3600)
    if status != 0:
        sys.exit("the unchanged copy fails its tests:\n" + out[-3000:])

    survivors, caught, uncompiled = [], 0, 0
    for n, fault in enumerate(faults, 1):
        path = os.path.join(src, fault["file"])
        text = open(path).read()
        changed = apply(text, fault["old"], fault["new"])
        if changed is None:
            print(f"[{n}/{len(faults)}] SKIPPED (the lines are not there once): {fault['file']}: "
                  f"{fault['old'][0].strip()}")
            continue
        started = time.time()
        open(path, "w").write(changed)
        try:
            status, out = run(["cmake", "--build", build, "-j2"], src, 1200)
            if status != 0:
                verdict = "caught by the build"
                uncompiled += 1
            else:
                near = nearest(fault["file"])
                status, out = 0, ""
                if near and not args.tests:
                    status, out = run(ctest + ["--timeout", "1200", "-R", near,
                                               "--stop-on-failure"], src, 3600)
                if status == 0:
                    rest = ["-E", near] if near and not args.tests else []
                    status, out = run(ctest + ["--timeout", "1200"] + rest, src, 3600)
                if status != 0:
                    failed = re.findall(r"Test +#\d+: (\S+)[^\n]*? \.{3,}\s*(?:\*\*\*|Subprocess)", out)
                    verdict = "caught: " + ", ".join(failed[:3]) + \
                        (f" and {len(failed) - 3} more" if len(failed) > 3 else "")
                    caught += 1
                else:
                    verdict = "NOT CAUGHT"
                    survivors.append(fault)
        finally:
            open(path, "w").write(text)
        print(f"[{n}/{len(faults)}] {fault['file']}: {fault['why']}: {verdict} "
              f"({time.time() - started:.0f} s)", flush=True)
    run(["cmake", "--build", build, "-j2"], src, 1200)
    print(f"\n{len(faults)} faults: {caught} caught by the tests, {uncompiled} by the build, "
          f"{len(survivors)} not caught")
    for fault in survivors:
        print(f"  not caught: {fault['file']}: {fault['why']}")


if __name__ == "__main__":
    sys.exit(main())
