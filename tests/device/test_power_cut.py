"""Power cuts on the emulated device's ext4 partitions: QEMU stopped at once,
with no shutdown and nothing flushed. /system's writes are throttled so that
flushing takes seconds, as on slow flash."""
import re
import time

from conftest import assert_copied_whole, device, enter_menu, make_tree
from zqdevice import wait_until
from test_updates import select

REACHED = re.compile(r"^/sdcard/zq/update00/\S+ to (/\S+)$")
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
    with device(machine="virt", boot=["zqrecovery"], internal_card=card,
                throttle_write=THROTTLE) as dev:
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


def test_a_cut_mid_update_leaves_consistent_partitions_and_untouched_files(tmp_path):
    files = {f"zq/update00/system/lib/l{i:02}.so": blob(i, 4096 + i) for i in range(24)}
    files.update({f"zq/update00/system/media/m{i}.bin": blob(50 + i, 400_000) for i in range(4)})
    files.update({f"zq/update00/system/z/z{i:02}.txt": b"new %d\n" % i for i in range(12)})
    card = make_tree(tmp_path / "card", files)
    before = {f"/system/z/z{i:02}.txt": b"old %d, longer than the new one\n" % i for i in range(12)}
    # Little memory for unwritten data: the walk goes at the partition's pace.
    with device(machine="virt", boot=["zqrecovery"], internal_card=card,
                throttle_write=THROTTLE, dirty_bytes=256 * 1024, system_files=before) as dev:
        enter_menu(dev)
        mark = dev.mark()
        select(dev, 1)
        # Cut once the walk is inside the large files.
        dev.wait_for_line(r" to /system/media/m3\.bin$", timeout=120, start=mark)
        time.sleep(0.5)
        dev.cut_power()
        reached = [m.group(1) for m in map(REACHED.match, dev.console()[mark:]) if m]
        assert "/system/media/m3.bin" in reached
        assert "/system/z/z00.txt" not in reached, "the cut came after the walk"
        assert_clean(dev)
        # Whatever the walk had not reached is as it was before the update:
        # the old file, or none.
        for path in [name[len("zq/update00"):] for name in files]:
            if path not in reached:
                assert read_or_none(dev, path) == before.get(path), path
