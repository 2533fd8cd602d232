"""The three programs with the system calls of Linux 2.6.29: every call that
kernel lacks answers ENOSYS, and sendfile is refused as before 2.6.33. One
boot as the device's init runs them: device init, zqrecovery (countdown,
menu, an update onto the read-only ext4 /system), then the splash."""
import os

import demo
from conftest import BUILD, COUNTDOWN, PROMPT, Cards, Faults, Partitions, back_to_menu, device, enter_menu, make_tree, \
    select, wait_for_prompt
from zqdevice import HOME, read_bmp_rgb, wait_until

BIG = bytes(range(251)) * 1000  # more than one 128 KiB buffer of the copy's fallback


def test_every_program_runs_on_the_oldest_system_call_surface(tmp_path):
    files = {"zq/update00/system/lib/libbig.so": BIG, "zq/update00/data/local/a.txt": b"a\n"}
    card = make_tree(tmp_path / "card", files)
    media = os.path.join(BUILD, "arm", "media")
    frames = [read_bmp_rgb(os.path.join(media, f"zqani0{k}.bmp")) for k in range(4)]
    with device(cards=Cards(internal=card), faults=Faults(old_kernel=True),
                partitions=Partitions(files={"/system/lib/libbig.so": b"old"})) as dev:
        dev.wait_for_line(r"^zq: old kernel: prlimit64 ENOSYS, sendfile EINVAL, uname 2\.6\.\d+")
        dev.wait_for_line(r"^zq_device_init: device initialised$")
        dev.wait_for_line(r"^zq: run_zq_device_init exited 0$")

        assert wait_until(lambda: dev.screen_text()[:1] in
                          ([COUNTDOWN.format(n)] for n in range(5, 0, -1)), 20)
        enter_menu(dev)
        select(dev, 1)
        lines = wait_for_prompt(dev)
        for line in ["mounted /sdcard. errno=0", f"/system/lib/libbig.so copied {len(BIG)} bytes.",
                     "/data/local/a.txt copied 2 bytes.", "done.", PROMPT]:
            assert line in lines, (line, lines)
        dev.wait_for_line(r"^remounted /system read-write$")
        dev.wait_for_line(r"^remounted /system read-only$")
        back_to_menu(dev)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")
        dev.wait_for_line(r"^zq: system ro$")
        assert dev.read_file("/system/lib/libbig.so") == BIG
        assert dev.read_file("/data/local/a.txt") == b"a\n"

        dev.wait_for_line(r"^ui_thread_function\(\) \d+ started\.$")
        shown = set()

        def every_frame():
            width, _, rgb = dev.screen()
            shown.add(demo.frame_shown(rgb, width, frames))
            return {0, 1, 2, 3} <= shown
        assert wait_until(every_frame, 30, 0.1), shown
