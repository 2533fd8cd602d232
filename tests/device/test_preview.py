"""zqbmp preview draws what the device shows, pixel for pixel: its pictures
against the emulated device's screenshots, on every screen the device offers.
The same pictures tell which splash frame the screen shows, and when."""
import os
import subprocess
import time

import pytest
from PIL import Image

from conftest import BUILD, HOME, Boot, Screen, device, recovery
from zqdevice import wait_until


def read_png(path):
    """Width, height and RGB bytes of a PNG."""
    with Image.open(path) as img:
        return img.width, img.height, img.convert("RGB").tobytes()


def preview(tmp_path, width, height, bpp, order=()):
    out = str(tmp_path / "preview")
    arm = os.path.join(BUILD, "arm")
    subprocess.run(["qemu-arm", os.path.join(arm, "bin", "zqbmp"), "preview",
                    os.path.join(arm, "media"), "--screen", f"{width}x{height}x{bpp}", *order,
                    out], check=True, capture_output=True)
    return {name: read_png(os.path.join(out, name + ".png"))
            for name in ["countdown", "menu"] + [f"splash-frame{k}" for k in range(4)]}


def wait_for_picture(dev, picture, timeout=10):
    return wait_until(lambda: dev.screen() == picture, timeout, interval=0)


def console_pixels(picture):
    return sum(1 for i in range(0, len(picture[2]), 3) if picture[2][i:i + 3] == b"\xaa\xaa\xaa")


def differing_pixels(a, b):
    return sum(1 for i in range(0, len(a[2]), 3) if a[2][i:i + 3] != b[2][i:i + 3])


# A panel as a boot loader leaves it (a simple-framebuffer): rows padded to
# 2,624 bytes, red at bit 0. What it shows must be what a plain screen shows.
PANEL = {"stride": 2624, "format": "a8b8g8r8"}
# A 16-bit panel of five bits a channel: zqbmp told its layout draws what it shows.
PANEL_555 = {"stride": 1312, "format": "x1r5g5b5", "order": ["--order", "RGB555"],
             "line": "row pitch: 1312, visible from byte 0, red at bit 10, green at 5, blue at 0"}
PANEL["line"] = "row pitch: 2624, visible from byte 0, red at bit 0, green at 8, blue at 16"
# A 16-bit panel whose driver reports blue-first 5-6-5.
PANEL_BGR565 = {"stride": 1280, "format": "b5g6r5", "order": ["--order", "BGR565"],
                "line": "row pitch: 1280, visible from byte 0, red at bit 0, green at 5, blue at 11"}
# A 24-bit packed panel, rows padded to 1,952 bytes.
PANEL_888 = {"stride": 1952, "format": "r8g8b8", "order": ["--order", "BGR"],
             "line": "row pitch: 1952, visible from byte 0, red at bit 16, green at 8, blue at 0"}

# A double-height panel that shows only what its driver is told of, at its
# second page, as a page-flipping system leaves it.
PANEL_ON_REQUEST = {"stride": 2560, "format": "x8r8g8b8", "pages": 2, "on_request": True,
                    "line": "row pitch: 2560, visible from byte 1228800, red at bit 16, "
                            "green at 8, blue at 0"}
SCREEN_KEYS = ("stride", "format", "pages", "on_request")



@pytest.mark.parametrize("machine,bpp,width,height,panel", [
    ("virt", 32, 800, 480, None), ("virt", 32, 640, 400, None),
    ("vexpress", 32, 800, 480, None), ("vexpress", 32, 640, 480, None),
    ("vexpress", 16, 800, 480, None), ("vexpress", 16, 640, 480, None),
    ("vexpress", 32, 640, 480, PANEL), ("vexpress", 16, 640, 480, PANEL_555),
    ("vexpress", 16, 640, 480, PANEL_BGR565), ("vexpress", 24, 640, 480, PANEL_888),
    ("vexpress", 32, 640, 480, PANEL_ON_REQUEST)])
def test_preview_equals_the_screen(tmp_path, machine, bpp, width, height, panel):
    pictures = preview(tmp_path, width, height, bpp, (panel or {}).get("order", ()))
    screen = None if panel is None else {k: panel[k] for k in SCREEN_KEYS if k in panel}
    with device(screen=Screen(machine, width, height, bpp, screen),
                boot=Boot(programs=["zqrecovery", "zqanimation"])) as dev:
        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        assert wait_for_picture(dev, pictures["countdown"], 3), \
            differing_pixels(dev.screen(), pictures["countdown"])
        if panel:
            dev.wait_for_line(panel["line"], timeout=1)
        dev.press(HOME)
        assert wait_for_picture(dev, pictures["menu"]), \
            differing_pixels(dev.screen(), pictures["menu"])
        dev.press(HOME)
        dev.wait_for_line(r"ui_thread_function\(\) \d+ started.*|start ZQ animation\.")
        frames = [pictures[f"splash-frame{k}"] for k in range(4)]
        seen = []  # (frame, when it appeared)

        def six_changes():
            screen = dev.screen()
            k = next((k for k in range(4) if screen == frames[k]), None)
            if k is not None and (not seen or seen[-1][0] != k):
                seen.append((k, time.time()))
            return len(seen) >= 6
        wait_until(six_changes, 15, interval=0)
        order = [k for k, _ in seen]
        assert set(order) == {0, 1, 2, 3}, order
        assert all(b == (a + 1) % 4 for a, b in zip(order, order[1:])), order
        # About two frames a second: well under a second between changes.
        assert (seen[-1][1] - seen[0][1]) / (len(seen) - 1) < 1.0, seen
        if panel and panel.get("pages", 1) > 1:
            assert not any(dev.screen(page=0)[2]), "nothing is drawn on the page not shown"


def test_the_console_keeps_off_the_menu_and_shows_again_once_it_ends(tmp_path):
    """The kernel's console bound to the screen, written to all along and
    blanking after 2 s without a key: the menu stays as zqbmp draws it past
    the blanking; once zqrecovery has ended, the console draws again."""
    pictures = preview(tmp_path, 800, 480, 32)
    with device(screen=Screen(console_bound=True), boot=recovery()) as dev:
        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        dev.press(HOME)
        assert wait_for_picture(dev, pictures["menu"]), \
            differing_pixels(dev.screen(), pictures["menu"])
        shown = time.time()
        lines = dev.mark()
        while time.time() < shown + 3:
            assert dev.screen() == pictures["menu"], differing_pixels(dev.screen(), pictures["menu"])
        assert dev.wait_for_line(r"zq: console line (\d+)", start=lines)
        dev.press(HOME)
        dev.wait_for_line(r"zq: zqrecovery exited 0")
        # The console's text is light grey, a colour the menu has none of.
        assert wait_until(lambda: console_pixels(dev.screen()) > 100, 5, 0)
