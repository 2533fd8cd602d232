"""zqanimation on the kernel's framebuffer: its failure road and its memory.
(Its frames on every screen: test_preview.py.)"""
import os

import zqdevice
from conftest import BUILD, Boot, device


def test_missing_frame_draws_nothing_and_starts_recovery():
    with device(boot=Boot(programs=["zqanimation"], remove=["/ZQ/media/zqani02.bmp"])) as dev:
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
    with device(boot=Boot(programs=["zqanimation"], report_memory=True)) as dev:
        dev.wait_for_line(r"^zq: memory listed$", timeout=30)
        memory = {}
        for line in dev.console():
            parts = line.split()
            if line.startswith("zq: memory ") and len(parts) == 4:
                memory[parts[2].rstrip(":")] = int(parts[3]) * 1024
        print(f"prepared {prepared} bytes; {memory}")
        assert memory["RssAnon"] <= prepared + (1 << 20), (prepared, memory)


def test_the_splash_is_stopped_once_the_platform_has_booted():
    """As the integrator's init does: the platform says it has booted, and the
    splash, which draws until it is stopped, is stopped then."""
    with device(boot=Boot(programs=["zqanimation"], booted=2)) as dev:
        drawing = dev.wait_for_line(r"ui_thread_function\(\) \d+ started")
        dev.wait_for_line(r"^zq: boot completed$", timeout=20)
        dev.wait_for_line(r"^zq: zqanimation stopped$", timeout=10)
        console = dev.console()
        assert console.index(drawing.string) < console.index("zq: boot completed")
