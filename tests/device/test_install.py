"""How the update installs each file on Android's real mounts: /system
read-only at boot, umask 0, the running program, links into a multi-call
binary, files other processes hold open, owners and modes kept."""
import hashlib

from conftest import INSTALL_TEMP, PROMPT, Cards, Partitions, device, enter_menu, exit_unmounted, \
    make_tree, recovery, select, temporary_names, update_run, wait_for_prompt
from zqdevice import File, Link

TOOLBOX = b"\x7fELF multi-call binary " * 300
OLD_LIB = b"old library " * 5000
NEW_LIB = b"new library, shorter " * 1000
NEW_PROGRAM = b"\x7fELF the next zqrecovery " * 2000
REBOOT = b"#!/system/bin/sh\necho new reboot\n"


def test_replaces_running_programs_links_and_open_files_keeping_owners_on_a_read_only_system(
        tmp_path):
    card = make_tree(tmp_path / "card", {
        "zq/update00/system/bin/zqrecovery": NEW_PROGRAM,
        "zq/update00/system/bin/reboot": REBOOT,
        "zq/update00/system/lib/held.so": NEW_LIB,
        "zq/update00/system/etc/owned.conf": b"new owned\n",
        "zq/update00/system/etc/new.conf": b"new\n",
        "zq/update00/data/local/new.txt": b"data\n",
    })
    with device(boot=recovery(hold="/system/lib/held.so"), cards=Cards(internal=card),
                partitions=Partitions(files={
                    "/system/bin/toolbox": File(TOOLBOX, 0o755),
                    "/system/bin/reboot": Link("toolbox"),
                    "/system/lib/held.so": File(OLD_LIB, 0o644),
                    "/system/etc/owned.conf": File(b"old owned\n", 0o750, 1000, 1000),
                })) as dev:
        enter_menu(dev)
        mark = dev.mark()
        select(dev, 1)
        lines = wait_for_prompt(dev)
        for path, size in [("/system/bin/zqrecovery", len(NEW_PROGRAM)), ("/system/bin/reboot", len(REBOOT)),
                           ("/system/lib/held.so", len(NEW_LIB)), ("/system/etc/owned.conf", 10),
                           ("/system/etc/new.conf", 4), ("/data/local/new.txt", 5)]:
            assert f"{path} copied {size} bytes." in lines, (path, lines)
        dev.wait_for_line(r"^remounted /system read-write$", start=mark)
        # The replaced program goes on running from its old file: the menu and EXIT work.
        exit_unmounted(dev)
        dev.wait_for_line(r"^zq: system ro$")
        old = hashlib.md5(OLD_LIB).hexdigest()
        dev.wait_for_line(rf"^zq: held /system/lib/held.so {old}  -$")

        assert dev.read_file("/system/bin/zqrecovery") == NEW_PROGRAM
        assert dev.read_file("/system/bin/toolbox") == TOOLBOX
        assert dev.read_file("/system/bin/reboot") == REBOOT
        assert dev.read_file("/system/lib/held.so") == NEW_LIB
        assert dev.file_status("/system/bin/reboot")[:2] == ("regular", 0o755), \
            "the link became a file with its target's mode"
        assert dev.file_status("/system/bin/zqrecovery")[:2] == ("regular", 0o755)
        assert dev.file_status("/system/etc/owned.conf") == ("regular", 0o750, 1000, 1000)
        assert dev.file_status("/system/etc/new.conf") == ("regular", 0o644, 0, 0), "umask 0"
        assert dev.file_status("/data/local/new.txt") == ("regular", 0o644, 0, 0)
        assert dev.file_status("/data/local")[:2] == ("directory", 0o775)
        for name in ("system", "data"):
            assert temporary_names(dev.guest_dir(name)) == [], name
            assert dev.check_partition(name)[0] == 0, name
        assert INSTALL_TEMP not in "".join(lines)


def test_a_file_that_cannot_fit_twice_is_written_in_place(tmp_path):
    """A nearly full /system: the replacement that does not fit beside the old
    file goes in place; new files that do not fit leave nothing behind."""
    new_big = bytes(range(256)) * 1200  # 307,200 bytes
    files = {"zq/update00/system/big.bin": new_big}
    files.update({f"zq/update00/system/new{i}.bin": bytes([i]) * 150_000 for i in range(3)})
    with update_run(tmp_path, files, partitions=Partitions(
            small_system=200, files={"/system/big.bin": File(b"o" * 400_000, 0o640, 1000, 1000)})) \
            as (dev, lines):
        assert f"/system/big.bin copied {len(new_big)} bytes." in lines, "\n".join(lines)
        assert "/system/big.bin written in place: not enough room for two." in lines, lines
        assert dev.read_file("/system/big.bin") == new_big
        assert dev.file_status("/system/big.bin") == ("regular", 0o640, 1000, 1000)
        failed = [line for line in lines if line.startswith("write /system/new")]
        assert failed and all(line.endswith("No space left on device") for line in failed), lines
        for i in range(3):
            path = f"/system/new{i}.bin"
            if f"{path} copied 150000 bytes." in lines:
                assert dev.read_file(path) == bytes([i]) * 150_000
            else:
                assert dev.file_status(path) is None, f"{path} failed and left nothing"
        assert temporary_names(dev.guest_dir("system")) == []
        assert PROMPT in lines
