"""Update items on real FAT cards, mounted by the kernel."""
import os

import pytest

from conftest import HEADER, MENU, PREVIOUS, PROMPT, BELOW_HEADER, HOME, Cards, Partitions, \
    Faults, Screen, device, enter_menu, exit_unmounted, make_tree, menu, recovery, select, \
    update_run, wait_for_prompt
from zqdevice import wait_until

BLOB = bytes(range(256)) * 700 + b"tail"


# A panel that shows only what its driver is told of (zq_panel.c).
ON_REQUEST = Screen(machine="vexpress", bpp=16,
                    panel={"stride": 1600, "format": "b5g6r5", "on_request": True})


@pytest.mark.parametrize("screen", [Screen(), ON_REQUEST], ids=["virt", "on_request"])
def test_internal_item_copies_system_and_data_only(tmp_path, screen):
    with update_run(tmp_path, {
        "zq/update00/system/app/x.apk": BLOB,
        "zq/update00/system/etc/empty": b"",
        "zq/update00/data/local/notes.txt": b"notes\n",
        "zq/update00/boot/boot.img": b"not taken",
    }, screen=screen) as (dev, lines):
        assert lines[:5] == HEADER + [MENU[1][0], "----------------------"], lines
        assert lines[5] == "mounted /sdcard. errno=0"
        for expected in ["create dir /system", "create dir /system/app",
                         f"/system/app/x.apk copied {len(BLOB)} bytes.",
                         "/system/etc/empty copied 0 bytes.", "create dir /data/local",
                         "/data/local/notes.txt copied 6 bytes.", "done.", PROMPT]:
            assert expected in lines, (expected, lines)
        assert not any("boot" in line for line in lines)
        assert dev.read_file("/system/app/x.apk") == BLOB
        assert dev.read_file("/system/etc/empty") == b""
        assert dev.read_file("/data/local/notes.txt") == b"notes\n"
        assert dev.new_entries("system") == ["app", "etc"]
        assert dev.new_entries("data") == ["local"]
        exit_unmounted(dev)


def test_card_already_mounted_is_used_and_unmounted(tmp_path):
    card = make_tree(tmp_path / "card", {"zq/update00/system/a.txt": b"a"})
    with device(boot=recovery(), cards=Cards(internal=card, premount=True)) as dev:
        dev.wait_for_line(r"^zq: premounted /sdcard$")
        enter_menu(dev)
        select(dev, 1)
        lines = wait_for_prompt(dev)
        assert "mounted /sdcard. errno=16" in lines, lines
        assert "/system/a.txt copied 1 bytes." in lines
        exit_unmounted(dev)


def test_existing_destination_file_is_overwritten_by_the_last_internal_item(tmp_path):
    with update_run(tmp_path, {"zq/update02/system/build.prop": b"new=1\n"}, item=3,
                    partitions=Partitions(
                        files={"/system/build.prop": b"old=0\nmuch longer old content\n"})) \
            as (dev, lines):
        assert lines[3:6] == [MENU[3][0], "----------------------",
                              "mounted /sdcard. errno=0"], lines
        assert "/system/build.prop copied 6 bytes." in lines, lines
        assert dev.read_file("/system/build.prop") == b"new=1\n"


def test_external_item_without_a_second_card(tmp_path):
    with update_run(tmp_path, {"zq/update00/system/a.txt": b"a"}, item=4) as (dev, lines):
        assert lines[5] == "mounted /sdcard. errno=0", lines
        assert lines[6].startswith("failed to mount /sdcard/sd. errno="), lines
        assert "done." not in lines
        exit_unmounted(dev)
        assert dev.new_entries("system") == []


def test_external_item_when_the_internal_card_is_read_only(tmp_path):
    """The external card's mount point cannot be made: the action ends there."""
    with update_run(tmp_path, {"zq/update00/system/a.txt": b"a"}, item=4,
                    cards=Cards(premount="ro")) \
            as (dev, lines):
        assert lines[5:8] == ["mounted /sdcard. errno=16",
                              "failed to create /sdcard/sd. errno=30", PROMPT], lines
        exit_unmounted(dev)


def test_external_item_with_both_cards(tmp_path):
    internal = make_tree(tmp_path / "internal", {"zq/update00/system/inner.txt": b"inner"})
    external = make_tree(tmp_path / "external", {"zq/update02/system/bin/tool": b"\x7fELF tool",
                                                 "zq/update02/data/d.txt": b"d",
                                                 "zq/update02/data/large.bin": BLOB * 8})
    with device(boot=recovery(), cards=Cards(internal=internal, external=external,
                                               watch=True)) as dev:
        enter_menu(dev)
        for _ in range(3):
            dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(6)) == menu(6)
        dev.press(HOME)
        lines = wait_for_prompt(dev)
        assert lines[3] == "EXTERNAL SDCARD02", lines
        assert "mounted /sdcard/sd. errno=0" in lines
        assert "/system/bin/tool copied 9 bytes." in lines
        assert dev.read_file("/system/bin/tool") == b"\x7fELF tool"
        assert dev.read_file("/data/d.txt") == b"d"
        assert not os.path.exists(os.path.join(dev.guest_dir("system"), "inner.txt"))
        # Both cards were mounted with no set-id programs and no device nodes.
        for card in ("/sdcard", "/sdcard/sd"):
            options = dev.wait_for_line(rf"^zq: card {card} (\S+)$").group(1).split(",")
            assert "nosuid" in options and "nodev" in options, (card, options)


def test_progress_longer_than_the_screen_continues_below_the_header(tmp_path):
    files = {f"zq/update00/data/f{i:02}.txt": b"x" * i for i in range(30)}
    # The header keeps its five lines; progress that ran off the bottom goes
    # on from 10 pixels below it, on the grid of that offset.
    with update_run(tmp_path, files, y0=BELOW_HEADER) as (dev, lines):
        assert dev.screen_text()[:5] == HEADER + [MENU[1][0], "----------------------"]
        # The last lines written lie on the grid 10 pixels below the header.
        assert PROMPT in lines, lines
        assert lines[lines.index(PROMPT) - 1] == "done."
        copied = [line for line in lines if line.endswith(" bytes.")]
        assert copied, lines
        for i in range(30):
            assert dev.read_file(f"/data/f{i:02}.txt") == b"x" * i


def test_a_long_copy_shows_how_far_it_has_gone_then_the_lines_of_a_quick_one(tmp_path):
    """A 6 MiB file from a card read at 1.5 MiB/s: while it copies, its own line
    says how far it has gone, read from the screen (the program's output never
    says it). Then the lines are a quick copy's, with the flush said before it
    ran; the reader matches every cell exactly, so a leftover of the progress
    would read as a character that is none."""
    big = os.urandom(6 << 20)
    card = make_tree(tmp_path / "card", {"zq/update00/system/big.bin": big})
    with device(boot=recovery(), cards=Cards(internal=card),
                faults=Faults(throttle_card_read=3 << 19)) as dev:
        enter_menu(dev)
        mark = dev.mark()
        select(dev, 1)
        shown = []

        def progress():
            lines = dev.screen_text()
            shown.extend(line for line in lines if line.startswith("/system/big.bin copying: "))
            return PROMPT in lines
        wait_until(progress, 60, 0.1)
        percents = [int(line.split(": ")[1].rstrip("%")) for line in shown]
        assert len(set(percents)) >= 2 and percents == sorted(percents) and percents[-1] < 100, \
            shown
        assert dev.screen_text()[5:] == [
            "mounted /sdcard. errno=0", "create dir /system",
            f"/system/big.bin copied {len(big)} bytes.", "writing to storage...", "done.", PROMPT]
        assert not any("copying" in line for line in dev.console()[mark:])
        assert dev.read_file("/system/big.bin") == big
