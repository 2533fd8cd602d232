"""Scenarios on the emulated device. ZQ_BUILD names the build folder (the one
holding arm/ with the static programs); default: build/ of the source tree."""
import contextlib
import os
import re
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "emulated_device"))

import zqdevice  # noqa: E402

BUILD = os.environ.get("ZQ_BUILD", os.path.join(SOURCE, "build"))

from zqdevice import COUNTDOWN, HEADER, HOME, MENU, NEXT, PREVIOUS, PROMPT, menu  # noqa: E402,F401
from zqdevice import Boot, Cards, Faults, Partitions, Screen  # noqa: E402,F401


def device(**groups):
    """A Device of this build: screen=Screen(...), cards=Cards(...), and so on."""
    return zqdevice.Device(build=BUILD, **groups)


def recovery(**options):
    """The boot running zqrecovery alone, with those further Boot options."""
    return Boot(programs=["zqrecovery"], **options)


def enter_menu(dev):
    """Waits for the countdown, presses HOME and waits for the menu."""
    dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
    dev.press(HOME)
    assert dev.wait_for_screen(menu(0)) == menu(0)


# Where progress lines lie once they have run off the bottom: 10 pixels below
# the five-line header.
BELOW_HEADER = zqdevice.fact("UPDATE_HEADER_LINES") * 22 + \
    zqdevice.PROGRESS_GAP


def wait_for_prompt(dev, timeout=60, y0=None):
    """Waits until the update screen shows the prompt; returns the lines. With
    y0 None, both line grids are read (from the top, and below the header)."""
    lines = []

    def prompt():
        lines[:] = (dev.screen_text(0) + dev.screen_text(BELOW_HEADER) if y0 is None
                    else dev.screen_text(y0))
        return PROMPT in lines
    zqdevice.wait_until(prompt, timeout, 0.2)
    return lines


def make_tree(root, files):
    """Writes {relative path: bytes} under root."""
    for path, content in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content)
    return str(root)


def select(dev, item):
    """Moves the highlight down to item and presses HOME."""
    for _ in range(item):
        dev.press(NEXT)
    assert dev.wait_for_screen(menu(item)) == menu(item)
    dev.press(HOME)


@contextlib.contextmanager
def update_run(tmp_path, files, item=1, y0=None, cards=None, **groups):
    """An update as a user runs one: a card of files ({card path: bytes}),
    zqrecovery booted (on virt unless screen says), menu item chosen. Yields
    the device and the lines on the screen once the prompt shows."""
    cards = cards or Cards()
    cards.internal = make_tree(tmp_path / "card", files)
    with device(boot=recovery(), cards=cards, **groups) as dev:
        enter_menu(dev)
        select(dev, item)
        yield dev, wait_for_prompt(dev, y0=y0)


def back_to_menu(dev):
    """HOME on the update screen: the menu returns with EXIT highlighted."""
    dev.press(HOME)
    lines = dev.wait_for_screen(menu(0))
    assert lines[:12] == menu(0), lines


def exit_unmounted(dev):
    """Back to the menu, then EXIT: the program ends with no card mounted."""
    back_to_menu(dev)
    dev.press(HOME)
    assert "/sdcard" not in dev.wait_for_line(r"^zq: mounts: (.*)$").group(1)


# The name under which the update writes a file before renaming it over its
# destination (a staged one adds "." and a number), and its commit record, as
# the product defines them.
INSTALL_TEMP = zqdevice.fact("INSTALL_TEMP_NAME")
COMMIT_RECORD = zqdevice.fact("COMMIT_RECORD_PATH")
COMMIT_RECORD_NEW = zqdevice.fact("COMMIT_RECORD_NEW_PATH")


def is_temporary(name):
    return name == INSTALL_TEMP or name.startswith(INSTALL_TEMP + ".")


def temporary_names(tree):
    """Paths below a host copy of a partition that carry a temporary name."""
    return sorted(os.path.relpath(os.path.join(path, name), tree)
                  for path, dirs, names in os.walk(tree) for name in names + dirs
                  if is_temporary(name))


COPIED = re.compile(r"^(/\S+) copied (\d+) bytes\.$")


def assert_copied_whole(dev, lines, files, root="zq/update00"):
    """Whatever the screen calls copied is on the partition, whole (files:
    {card path: bytes}); returns {device path: size} of those lines."""
    copied = {m.group(1): int(m.group(2)) for m in map(COPIED.match, lines) if m}
    for path in copied:
        assert dev.read_file(path) == files[root + path], path
    return copied
