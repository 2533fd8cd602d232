"""Power cuts on the emulated device's ext4 partitions: QEMU stopped at once,
with no shutdown and nothing flushed. /system's writes are throttled so that
flushing takes seconds, as on slow flash."""
import os
import time

from conftest import Cards, Faults, Partitions, assert_copied_whole, device, enter_menu, \
    is_temporary, make_tree, recovery, select, temporary_names, wait_for_prompt
from zqdevice import wait_until

THROTTLE = 256 * 1024  # bytes per second


def blob(seed, size):
    return bytes((seed * 7 + i * 13) & 0xFF for i in range(251)) * (size // 251) + b"end"


def read_or_none(dev, path):
    try:
        return dev.read_file(path)
    except FileNotFoundError:
        return None


def assert_clean(dev):
    for name in ("system", "data"):
        status, output = dev.check_partition(name)
        assert status == 0, (name, output)


def test_everything_the_screen_called_copied_survives_a_cut_at_done(tmp_path):
    files = {f"zq/update00/system/app/a{i}.bin": blob(i, 160_000) for i in range(4)}
    files["zq/update00/data/config.txt"] = b"config\n"
    card = make_tree(tmp_path / "card", files)
    with device(boot=recovery(), cards=Cards(internal=card),
                faults=Faults(throttle_write=THROTTLE)) as dev:
        enter_menu(dev)
        select(dev, 1)
        lines = []

        def done():
            lines[:] = dev.screen_text()
            return "done." in lines
        wait_until(done, 120, interval=0)
        dev.cut_power()
        assert "done." in lines, lines
        assert_clean(dev)
        assert len(assert_copied_whole(dev, lines, files)) == len(files), lines


def long_update():
    """New and replaced files, small and large, in three directories: the
    card's files and what /system held before."""
    files, before = {}, {}
    for i in range(12):
        files[f"zq/update00/system/lib/l{i:02}.so"] = blob(i, 3000 + 7 * i)
        if i % 2:
            before[f"/system/lib/l{i:02}.so"] = blob(100 + i, 9000)
    for i in range(5):
        # m4 takes longer to write than ext4's 5 s between commits.
        files[f"zq/update00/system/media/m{i}.bin"] = blob(50 + i, 1_600_000 if i == 4 else 400_000)
        if i >= 2:
            before[f"/system/media/m{i}.bin"] = blob(150 + i, 120_000)
    for i in range(8):
        files[f"zq/update00/system/z/z{i:02}.txt"] = b"new %d\n" % i
        before[f"/system/z/z{i:02}.txt"] = b"old %d, longer than the new one\n" % i
    return files, before


def assert_old_or_new(dev, files, before):
    """Every file the update touches holds its old content, or its new one
    whole; one that did not exist is absent or whole; nothing else is new
    but one temporary name per directory."""
    for name, new in files.items():
        path = name[len("zq/update00"):]
        got = read_or_none(dev, path)
        assert got in (before.get(path), new), \
            f"{path}: {None if got is None else len(got)} bytes, neither old nor new"
    tree = dev.guest_dir("system")
    expected = {name[len("zq/update00/system/"):] for name in files}
    expected |= {path[len("/system/"):] for path in before}
    for sub in ("lib", "media", "z"):
        if os.path.isdir(os.path.join(tree, sub)):
            for entry in os.listdir(os.path.join(tree, sub)):
                assert f"{sub}/{entry}" in expected or is_temporary(entry), entry


# Where each cut comes: once the walk has reached a destination, and seconds
# after (at the throttled pace m0 to m3 take about 1.6 s each, m4 6.5 s);
# whether /system is mounted with noauto_da_alloc; and what paces the walk:
# /system, with only 256 KiB of unwritten data allowed, or a slow card with
# the kernel's default limits (a walk that does not flush then leaves its
# data in memory while ext4 commits its renames every 5 s).
CUTS = [("/system/lib/l03.so", 0.0, False, True), ("/system/lib/l08.so", 0.1, True, True),
        ("/system/media/m0.bin", 0.4, False, True), ("/system/media/m0.bin", 1.2, True, True),
        ("/system/media/m1.bin", 1.0, False, True), ("/system/media/m2.bin", 0.6, True, True),
        ("/system/media/m3.bin", 1.3, False, True), ("/system/media/m4.bin", 3.0, True, True),
        ("/system/media/m4.bin", 5.8, False, True), ("/system/media/m0.bin", 7.0, True, False),
        ("/system/z/z03.txt", 0.0, True, True)]


def test_cuts_anywhere_leave_old_or_new_files_and_the_next_update_completes(tmp_path):
    """Eleven cuts spread over one long update, each boot starting from the
    partitions the last cut left (as after a pulled battery), on ext4's default
    mount and with noauto_da_alloc; then the update runs to its end."""
    files, before = long_update()
    card = make_tree(tmp_path / "card", files)
    previous = None
    try:
        for cut, (reached, delay, noauto_da_alloc, by_system) in enumerate(
                CUTS + [(None, 0, False, True)]):
            dev = device(boot=recovery(), cards=Cards(internal=card),
                         partitions=Partitions(
                             files=before, from_device=previous,
                             dirty_bytes=256 * 1024 if by_system else None,
                             options="noauto_da_alloc" if noauto_da_alloc else None),
                         faults=Faults(throttle_write=THROTTLE,
                                       throttle_card_read=None if by_system else THROTTLE))
            dev.start()
            if previous is not None:
                previous.power_off()
            previous = dev
            enter_menu(dev)
            mark = dev.mark()
            select(dev, 1)
            if reached is None:
                lines = wait_for_prompt(dev, timeout=120)
                assert_copied_whole(dev, lines, files)
                assert all(dev.read_file(name[len("zq/update00"):]) == content
                           for name, content in files.items())
                assert temporary_names(dev.guest_dir("system")) == []
                assert_clean(dev)
                break
            dev.wait_for_line(rf" to {reached}$", timeout=120, start=mark)
            time.sleep(delay)
            shown = dev.screen_text()
            dev.cut_power()
            assert "done." not in shown, f"cut {cut} came after the walk"
            assert_clean(dev)
            assert_old_or_new(dev, files, before)
    finally:
        if previous is not None:
            previous.power_off()
