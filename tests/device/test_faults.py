"""Bad cards and full storage on the emulated device: nothing crashes, every
failure is named on the screen, nothing is reported copied that was not."""
import os

from conftest import COPIED, HOME, PROMPT, Cards, Faults, Screen, assert_copied_whole, back_to_menu, \
    device, enter_menu, make_tree, menu, recovery, select, update_run, wait_for_prompt
from zqdevice import wait_until


def test_long_names_and_too_deep_paths_are_skipped_by_name(tmp_path):
    a, b, c, d = ("a" * 255), ("b" * 255), ("c" * 255), ("d" * 255)
    files = {
        f"zq/update00/system/{a}/{b}/{c}/fits.txt": b"fits",
        f"zq/update00/system/{a}/{b}/{c}/{d}": b"too deep",
        f"zq/update00/system/{a}/short.txt": b"short",
    }
    # A screen large enough that the long progress lines never run off the bottom.
    with update_run(tmp_path, files, y0=0, screen=Screen(width=1920, height=1080)) as (dev, lines):
        assert PROMPT in lines, lines
        # The skipped entry's line starts with the reason; the path is cut to fit.
        assert any(l.startswith("path too long, skipped /sdcard/zq/update00/system/")
                   for l in lines), lines
        assert dev.read_file(f"/system/{a}/{b}/{c}/fits.txt") == b"fits"
        assert dev.read_file(f"/system/{a}/short.txt") == b"short"
        assert not os.path.exists(os.path.join(dev.guest_dir("system"), a, b, c, d))
        back_to_menu(dev)


def test_damaged_fat_is_reported_and_nothing_crashes(tmp_path):
    files = {f"zq/update00/system/f{i}.bin": bytes([65 + i]) * (40_000 * (i + 1)) for i in range(3)}
    files["zq/update00/data/tiny.txt"] = b"tiny"
    with update_run(tmp_path, files, faults=Faults(damage_internal=True)) as (dev, lines):
        failures = [l for l in lines if "failed" in l]
        assert failures, lines
        copied = assert_copied_whole(dev, lines, files)
        # Before "done.": what was installed, and that not everything was.
        summary = lines[lines.index("done.") - 1]
        assert summary.startswith(f"{len(copied)} installed, ") and \
            summary.endswith(" not installed."), lines
        back_to_menu(dev)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")


def test_card_pulled_mid_update(tmp_path):
    files = {f"zq/update00/system/part{i:02}.bin": bytes([i]) * 300_000 for i in range(12)}
    card = make_tree(tmp_path / "card", files)
    # (A screen tall enough for every line: none wraps back below the header.)
    with device(screen=Screen(machine="vexpress", height=600), boot=recovery(),
                cards=Cards(internal=card)) as dev:
        enter_menu(dev)
        select(dev, 1)
        wait_until(lambda: any(COPIED.match(l) for l in dev.screen_text()), 60)
        dev.pull_card()
        lines = wait_for_prompt(dev, timeout=240)
        assert PROMPT in lines, lines
        # What says copied is whole; the rest is reported as failed.
        copied = assert_copied_whole(dev, lines, files)
        failed = [l for l in lines if "failed" in l]
        assert len(copied) < len(files) and failed, lines
        dev.press(HOME)
        assert dev.wait_for_screen(menu(0))[:12] == menu(0)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")
