"""Bad cards and full storage on the emulated device: nothing crashes, every
failure is named on the screen, and a tree the card cannot give whole
installs nothing."""
import os
import subprocess

from conftest import BUILD, COPIED, HOME, PROMPT, Cards, Faults, Partitions, Screen, back_to_menu, \
    device, enter_menu, make_tree, menu, recovery, select, temporary_names, update_run, \
    wait_for_prompt
from zqdevice import fact, replay_and_check, wait_until

NOTHING = fact("NOTHING_INSTALLED_FORMAT").split("%s")[0]


def assert_nothing_installed(dev, lines, files, first=""):
    """The update took nothing: its line (naming a first failure that starts
    with first), the tally, no file of the card's ({card path: bytes}) on the
    partitions, nothing staged, and /system whole."""
    assert any(l.startswith(NOTHING + first) for l in lines), lines
    assert lines[lines.index("done.") - 1].startswith("0 installed, "), lines
    for path in files:
        part, rest = path[len("zq/update00/"):].split("/", 1)
        assert not os.path.exists(os.path.join(dev.guest_dir(part), rest)), path
    for name in ("system", "data"):
        assert temporary_names(dev.guest_dir(name)) == [], name
    _, status, out = replay_and_check(dev.images["system"])
    assert status == 0, out


def test_a_path_too_long_is_named_and_nothing_is_installed(tmp_path):
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
        assert_nothing_installed(dev, lines, files, "path too long, skipped ")
        back_to_menu(dev)


def test_damaged_fat_is_reported_and_nothing_crashes(tmp_path):
    files = {f"zq/update00/system/f{i}.bin": bytes([65 + i]) * (40_000 * (i + 1)) for i in range(3)}
    files["zq/update00/data/tiny.txt"] = b"tiny"
    with update_run(tmp_path, files, faults=Faults(damage_internal=True)) as (dev, lines):
        failures = [l for l in lines if "failed" in l]
        assert failures, lines
        assert_nothing_installed(dev, lines, files)
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
        # What the card gave before it went is not committed either.
        assert any(l for l in lines if "failed" in l), lines
        assert_nothing_installed(dev, lines, files)
        dev.press(HOME)
        assert dev.wait_for_screen(menu(0))[:12] == menu(0)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")


LIBS = {f"zq/update00/system/lib/lib{i:02}.so": bytes([i]) * (3000 + 100 * i) for i in range(30)}
OLD_LIBS = {f"/system/lib/lib{i:02}.so": b"old " * (100 + i) for i in range(30)}


def test_an_unreadable_sector_under_one_file_commits_none_of_the_tree(tmp_path):
    failed = "read /sdcard/zq/update00/system/lib/lib17.so failed. "
    # (A screen on which no line wraps or runs off the bottom.)
    with update_run(tmp_path, LIBS, faults=Faults(bad_card_file="zq/update00/system/lib/lib17.so"),
                    partitions=Partitions(files=OLD_LIBS), y0=0,
                    screen=Screen(width=1920, height=1080)) as (dev, lines):
        assert any(l.startswith(failed) for l in lines), lines
        assert_nothing_installed(dev, lines, {}, failed)
        for path, old in OLD_LIBS.items():
            assert dev.read_file(path) == old, path
        back_to_menu(dev)


MANIFEST_CHECKED = fact("MANIFEST_CHECKED_FORMAT")
MANIFEST_REFUSED = fact("MANIFEST_REFUSED").strip()


def test_a_sealed_tree_installs_and_one_cut_short_after_its_seal_installs_nothing(tmp_path):
    # (A screen on which no line wraps or runs off the bottom.)
    wide = Screen(width=1920, height=1080)
    for cut in (False, True):
        card = make_tree(tmp_path / f"card-{cut}", LIBS)
        subprocess.run(["qemu-arm", os.path.join(BUILD, "arm", "bin", "zqbmp"), "update-seal",
                        os.path.join(card, "zq/update00")], check=True, capture_output=True)
        if cut:  # as a card pulled while its last file was written
            os.truncate(os.path.join(card, "zq/update00/system/lib/lib29.so"), 1000)
        with device(boot=recovery(), cards=Cards(internal=card), screen=wide,
                    partitions=Partitions(files=OLD_LIBS)) as dev:
            enter_menu(dev)
            select(dev, 1)
            lines = wait_for_prompt(dev, y0=0)
            checked = MANIFEST_CHECKED % (len(LIBS) + 2)  # and system, system/lib
            assert (checked.strip() in lines) != cut, lines
            assert (MANIFEST_REFUSED in lines) == cut, lines
            if cut:
                assert "/system/lib/lib29.so: 1000 bytes on the card, 5900 in the manifest" in lines
                for path, old in OLD_LIBS.items():
                    assert dev.read_file(path) == old, path
                assert temporary_names(dev.guest_dir("system")) == []
                _, status, out = replay_and_check(dev.images["system"])
                assert status == 0, out
            else:
                for path, new in LIBS.items():
                    assert dev.read_file(path[len("zq/update00"):]) == new, path
            back_to_menu(dev)


def test_a_directory_the_card_lists_twice_is_refused_and_nothing_stays_pending(tmp_path):
    files = {"zq/update00/system/NEWDIR/a.txt": b"a", "zq/update00/system/b.txt": b"b"}
    card = make_tree(tmp_path / "card", files)
    previous = None
    try:
        # The update, then two more starts from what it left; the last updates again.
        for boot in range(3):
            dev = device(boot=recovery(), cards=Cards(internal=card),
                         partitions=Partitions(from_device=previous),
                         faults=Faults(listed_twice="zq/update00/system/NEWDIR"))
            dev.start()
            if previous is not None:
                previous.power_off()
            previous = dev
            if boot == 1:
                dev.wait_for_line(r"^zq: zqrecovery exited 0$", timeout=60)
            else:
                enter_menu(dev)
                select(dev, 1)
                lines = wait_for_prompt(dev)
                assert "listed twice, skipped /sdcard/zq/update00/system/NEWDIR" in lines, lines
                assert_nothing_installed(dev, lines, files, "listed twice, skipped ")
                back_to_menu(dev)
                dev.press(HOME)
                dev.wait_for_line(r"^zq: zqrecovery exited 0$")
            assert not any("interrupted update" in l or "not finished" in l
                           for l in dev.console()), dev.console()
            dev.cut_power()
    finally:
        if previous is not None:
            previous.power_off()


def test_storage_that_cannot_keep_the_promise_is_said_and_data_in_memory_goes_file_by_file(
        tmp_path):
    in_memory = fact("DATA_IN_MEMORY").rstrip("\n")
    barriers = fact("NO_BARRIERS_FORMAT").rstrip("\n")
    files = {"zq/update00/system/a.txt": b"a", "zq/update00/data/b.txt": b"b"}
    with update_run(tmp_path, files, y0=0, screen=Screen(width=1920, height=1080),
                    partitions=Partitions(data_in_memory=True, options="nobarrier")) \
            as (dev, lines):
        assert in_memory in lines, lines
        assert barriers % "/system" in lines, lines
        assert not any(l.startswith("not enough room") for l in lines), lines
        assert "/system/a.txt copied 1 bytes." in lines and "/data/b.txt copied 1 bytes." in lines
        assert dev.read_file("/system/a.txt") == b"a"
        back_to_menu(dev)
