"""zqanimation on the kernel's framebuffer: its failure road and its memory.
(Its frames on every screen: test_preview.py.)"""
import os

import zqdevice
from conftest import BUILD, device


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
    media = os.path.join(BUILD, "arm", "media")
    pictures = [zqdevice.read_bmp_rgb(os.path.join(media, name)) for name in
                ["zqtitle.bmp"] + [f"zqani0{k}.bmp" for k in range(4)]]
    prepared = sum(w * h * 4 for (w, h, _) in pictures)
    with device(machine="virt", boot=["zqanimation"], report_memory=True) as dev:
        dev.wait_for_line(r"^zq: memory listed$", timeout=30)
        memory = {}
        for line in dev.console():
            parts = line.split()
            if line.startswith("zq: memory ") and len(parts) == 4:
                memory[parts[2].rstrip(":")] = int(parts[3]) * 1024
        print(f"prepared {prepared} bytes; {memory}")
        assert memory["RssAnon"] <= prepared + (1 << 20), (prepared, memory)
