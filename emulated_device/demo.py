#!/usr/bin/python3
"""Boots the emulated device headless and saves what a user sees, as PNG files:
the countdown, the menu after HOME, the menu after moving the highlight, an
update's progress (a large file part-way) and result, and the boot animation's four frames (also as
an animated PNG at two frames per second).

Usage: demo.py BUILD OUTDIR"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zqdevice  # noqa: E402

from zqdevice import COUNTDOWN, HOME, NEXT, PROMPT, menu  # noqa: E402


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def write_apng(path, frames, width, height, delay_ms):
    """An animated PNG looping over RGB frames."""
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"acTL", struct.pack(">II", len(frames), 0)))
        seq = 0
        for i, rgb in enumerate(frames):
            raw = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))
            data = zlib.compress(raw, 6)
            f.write(chunk(b"fcTL", struct.pack(">IIIIIHHBB", seq, width, height, 0, 0, delay_ms,
                                               1000, 0, 0)))
            seq += 1
            if i == 0:
                f.write(chunk(b"IDAT", data))
            else:
                f.write(chunk(b"fdAT", struct.pack(">I", seq) + data))
                seq += 1
        f.write(chunk(b"IEND", b""))


def frame_shown(rgb, width, frames):
    for k, (fw, fh, frgb) in enumerate(frames):
        cols = min(fw, width) * 3
        rows = range(0, fh, 17)
        top = zqdevice.FRAME_Y
        if all(rgb[((top + r) * width) * 3:((top + r) * width) * 3 + cols] == frgb[r * fw * 3:r * fw * 3 + cols]
               for r in rows):
            return k
    return None


# Large enough for its copy to show how far it has gone.
BIG_FILE = "zq/update00/system/app/DemoMedia.apk"


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    build, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    saved = []

    def shot(dev, name):
        path = os.path.join(out, name)
        dev.screenshot(path)
        saved.append(path)

    card = tempfile.mkdtemp(prefix="zq-demo-card-")
    for rel, content in {"zq/update00/system/app/Demo.apk": b"demo " * 4000,
                         BIG_FILE: os.urandom(12 << 20),
                         "zq/update00/system/etc/demo.conf": b"mode=demo\n",
                         "zq/update00/data/local/readme.txt": b"installed by the demo\n"}.items():
        os.makedirs(os.path.dirname(os.path.join(card, rel)), exist_ok=True)
        with open(os.path.join(card, rel), "wb") as f:
            f.write(content)
    # Sealed, as an integrator ships a tree: the device checks it against its manifest.
    subprocess.run(["qemu-arm", os.path.join(build, "arm", "bin", "zqbmp"), "update-seal",
                    os.path.join(card, "zq", "update00")], check=True, capture_output=True)

    # The card read at 3 MiB/s, as a real card of the class reads: the large
    # file's copy takes long enough to show how far it has gone.
    with zqdevice.Device(build=build, cards=zqdevice.Cards(internal=card),
                         faults=zqdevice.Faults(throttle_card_read=3 << 20)) as dev:
        width, height = dev.width, dev.height

        def wait_for(condition, what, timeout=30):
            if not zqdevice.wait_until(lambda: condition(dev.screen_text()), timeout, 0.1):
                raise SystemExit(f"demo: the screen never showed {what}: {dev.screen_text()}")

        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        wait_for(lambda lines: lines == [COUNTDOWN.format(4)], "the countdown at 4 seconds", 3)
        shot(dev, "1-countdown.png")
        dev.press(HOME)
        wait_for(lambda lines: lines[:12] == menu(0), "the menu")
        shot(dev, "2-menu.png")
        dev.press(NEXT)
        wait_for(lambda lines: lines[:12] == menu(1), "the menu on INTERNAL SDCARD00")
        shot(dev, "3-menu-internal-sdcard00.png")
        dev.press(HOME)
        copying = BIG_FILE[len("zq/update00"):] + " copying: "
        wait_for(lambda lines: any(line.startswith(copying) for line in lines),
                 "the large file's progress")
        shot(dev, "4-update-progress.png")
        wait_for(lambda lines: PROMPT in lines, "the update's prompt")
        shot(dev, "4-update-result.png")
        dev.press(HOME)
        wait_for(lambda lines: lines[:12] == menu(0), "the menu after the update")
        shot(dev, "5-menu-after-update.png")
        dev.press(HOME)  # EXIT: the boot goes on to the splash
        dev.wait_for_line(r"start ZQ animation\.")
        media = os.path.join(build, "arm", "media")
        frames = [zqdevice.read_bmp_rgb(os.path.join(media, f"zqani0{k}.bmp")) for k in range(4)]
        got = {}

        def frame_saved():
            _, _, rgb = dev.screen()
            k = frame_shown(rgb, width, frames)
            if k is not None and k not in got:
                got[k] = rgb
                path = os.path.join(out, f"6-animation-frame{k}.png")
                zqdevice.write_png(path, width, height, rgb)
                saved.append(path)
            return len(got) == 4
        zqdevice.wait_until(frame_saved, 20, 0)
        if len(got) == 4:
            path = os.path.join(out, "6-animation.png")
            write_apng(path, [got[k] for k in range(4)], width, height, 500)
            saved.append(path + " (animated)")
    print("The emulated device (800 x 480, 32 bits) as a user sees it:")
    for path in saved:
        print("  " + path)
    return 0 if len(got) == 4 else 1


if __name__ == "__main__":
    sys.exit(main())
