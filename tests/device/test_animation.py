"""zqanimation on the kernel's framebuffer."""
import os
import time

import pytest

import zqdevice
from conftest import BUILD, device


def channels(rgb, keep):
    """The red, green and blue planes at the display's precision."""
    out = []
    for c in range(3):
        table = bytes(v & keep[c] for v in range(256))
        out.append(rgb[c::3].translate(table))
    return out


def region(rgb, width, x_pixels, y0, rows):
    return b"".join(rgb[((y0 + r) * width) * 3:((y0 + r) * width + x_pixels) * 3] for r in range(rows))


class Pictures:
    def __init__(self, bpp):
        self.keep = (0xF8, 0xFC, 0xF8) if bpp == 16 else (0xFF, 0xFF, 0xFF)
        media = os.path.join(BUILD, "arm", "media")
        self.background = zqdevice.read_bmp_rgb(os.path.join(media, "zqtitle.bmp"))
        self.frames = [zqdevice.read_bmp_rgb(os.path.join(media, f"zqani0{k}.bmp")) for k in range(4)]

    def frame_on(self, width, height, rgb):
        """Which frame the screen shows at (0, 50), or None."""
        for k, (fw, fh, frgb) in enumerate(self.frames):
            rows = min(fh, height - 50)
            cols = min(fw, width)
            if channels(region(rgb, width, cols, 50, rows), self.keep) == \
                    channels(region(frgb, fw, cols, 0, rows), self.keep):
                return k
        return None

    def background_on_top(self, width, height, rgb):
        bw, bh, brgb = self.background
        cols = min(bw, width)
        return channels(region(rgb, width, cols, 0, 50), self.keep) == \
            channels(region(brgb, bw, cols, 0, 50), self.keep)


@pytest.mark.parametrize("machine,bpp", [("virt", 32), ("vexpress", 32), ("vexpress", 16)])
def test_background_and_the_four_frames_in_order(machine, bpp):
    pictures = Pictures(bpp)
    with device(machine=machine, bpp=bpp, boot=["zqanimation"]) as dev:
        dev.wait_for_line(r"ui_thread_function\(\) \d+ started")
        seen, changes = [], []
        deadline = time.time() + 12
        while time.time() < deadline and len(seen) < 6:
            width, height, rgb = dev.screen()
            k = pictures.frame_on(width, height, rgb)
            if k is None or (seen and seen[-1] == k):
                continue
            assert pictures.background_on_top(width, height, rgb)
            seen.append(k)
            changes.append(time.time())
        assert len(seen) >= 5, seen
        assert all(b == (a + 1) % 4 for a, b in zip(seen, seen[1:])), seen
        # About two frames a second: well under a second between changes.
        gaps = [b - a for a, b in zip(changes, changes[1:])]
        assert sum(gaps) / len(gaps) < 1.0, gaps


def test_missing_frame_draws_nothing_and_starts_recovery():
    with device(machine="virt", boot=["zqanimation"], remove=["/ZQ/media/zqani02.bmp"]) as dev:
        dev.wait_for_line(r"^bmp_open: No such file or directory$")
        dev.wait_for_line(r"^start ZQ recovery\.$")  # the service "start recovery" started
        assert "start recovery" in dev.shell_commands()
        console = dev.console()
        started = console.index("start ZQ recovery.")
        assert not any("ui_thread_function" in line for line in console[:started])


def test_memory_stays_within_a_mebibyte_of_the_pictures():
    """The animation's private memory is its five prepared pictures and little else."""
    pictures = Pictures(32)
    prepared = sum(w * h * 4 for (w, h, _) in [pictures.background] + pictures.frames)
    with device(machine="virt", boot=["zqanimation"], report_memory=True) as dev:
        dev.wait_for_line(r"^zq: memory listed$", timeout=30)
        memory = {}
        for line in dev.console():
            parts = line.split()
            if line.startswith("zq: memory ") and len(parts) == 4:
                memory[parts[2].rstrip(":")] = int(parts[3]) * 1024
        print(f"prepared {prepared} bytes; {memory}")
        assert memory["RssAnon"] <= prepared + (1 << 20), (prepared, memory)
