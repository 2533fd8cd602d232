"""zqrecovery's countdown, menu and reboot actions on the emulated device."""
import pytest

from conftest import COUNTDOWN, HOME, NEXT, PREVIOUS, Screen, device, enter_menu, menu, recovery
from zqdevice import wait_until


def test_countdown_redrawn_in_place_then_ends_without_the_menu():
    with device(boot=recovery()) as dev:
        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        seen = []  # one line, rewritten each second: each text as it appears

        def ended():
            # (Cells that match no glyph: the console's cursor, or a line mid-draw.)
            lines = dev.screen_text()
            if len(lines) == 1 and "\x01" not in lines[0] and (not seen or seen[-1] != lines[0]):
                seen.append(lines[0])
            return "zq: zqrecovery exited 0" in dev.console()
        assert wait_until(ended, 20, 0.1)
        countdown = [COUNTDOWN.format(n) for n in range(5, 0, -1)]
        assert len(seen) >= 3 and all(line in countdown for line in seen), seen
        assert seen == sorted(seen, key=countdown.index), seen
        assert not any(line.startswith("draw menu") for line in dev.console())
        # The UI thread clears the screen at the end unless main has already
        # raised EXIT_RECOVERY when it wakes; either way no menu was drawn.
        assert dev.screen_text() in ([], [COUNTDOWN.format(1)])


@pytest.mark.parametrize("moves,command,argument", [(2, "reboot recovery", "recovery"),
                                                    (1, "reboot download", "download")])
def test_reboot_items_restart_with_their_argument(moves, command, argument):
    with device(boot=recovery()) as dev:
        enter_menu(dev)
        for _ in range(moves):
            dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(9 - moves)) == menu(9 - moves)
        dev.press(HOME)
        dev.wait_for_line(rf"Restarting system with command '{argument}'")
        assert dev.wait_for_exit(20) == 0
        assert dev.shell_record() == [("/system/bin/sh", command)]


def test_vexpress_at_16_bits_runs_on_event0_without_event1_and_the_menu_wraps():
    with device(screen=Screen(machine="vexpress", bpp=16), boot=recovery()) as dev:
        dev.wait_for_line(r"failed to open /dev/input/event1")
        enter_menu(dev)
        for key, selected in [(PREVIOUS, 8), (NEXT, 0), (NEXT, 1), (NEXT, 2), (PREVIOUS, 1),
                              (PREVIOUS, 0)]:
            dev.press(key)
            assert dev.wait_for_screen(menu(selected)) == menu(selected)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")
        assert dev.shell_commands() == []  # the check for a shell runs nothing


def test_font_that_does_not_load_ends_the_program_before_drawing():
    with device(boot=recovery(remove=["/ZQ/media/inconsolata_20px_ffffff.bmp"])) as dev:
        dev.wait_for_line(r"^bmp_open: No such file or directory$")
        dev.wait_for_line(r"^zq: zqrecovery exited 0$", timeout=10)
        # Only the threads draw, and none started. (The screen itself is not
        # compared: the kernel's console may still leave its cursor there.)
        assert not any("thread_function" in line for line in dev.console())
