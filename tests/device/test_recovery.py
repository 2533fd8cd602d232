"""zqrecovery's countdown, menu and reboot actions on the emulated device."""
import pytest

from conftest import COUNTDOWN, HOME, NEXT, PREVIOUS, device, enter_menu, menu


def test_countdown_redrawn_in_place_then_ends_without_the_menu():
    with device(machine="virt", boot=["zqrecovery"]) as dev:
        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        # One line, rewritten each second.
        assert dev.wait_for_screen([COUNTDOWN.format(4)], 3) == [COUNTDOWN.format(4)]
        assert dev.wait_for_screen([COUNTDOWN.format(3)], 2) == [COUNTDOWN.format(3)]
        assert dev.wait_for_screen([COUNTDOWN.format(2)], 2) == [COUNTDOWN.format(2)]
        dev.wait_for_line(r"^zq: zqrecovery exited 0$", timeout=10)
        assert not any(line.startswith("draw menu") for line in dev.console())
        # The UI thread clears the screen at the end unless main has already
        # raised EXIT_RECOVERY when it wakes; either way no menu was drawn.
        assert dev.screen_text() in ([], [COUNTDOWN.format(1)])


def test_menu_navigation_wraps_and_exit_ends():
    with device(machine="virt", boot=["zqrecovery"]) as dev:
        enter_menu(dev)
        dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(8)) == menu(8)
        dev.press(NEXT)
        assert dev.wait_for_screen(menu(0)) == menu(0)
        dev.press(NEXT)
        dev.press(NEXT)
        assert dev.wait_for_screen(menu(2)) == menu(2)
        dev.press(PREVIOUS)
        dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(0)) == menu(0)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")
        assert dev.shell_commands() == []  # the check for a shell runs nothing


@pytest.mark.parametrize("moves,command,argument", [(2, "reboot recovery", "recovery"),
                                                    (1, "reboot download", "download")])
def test_reboot_items_restart_with_their_argument(moves, command, argument):
    with device(machine="virt", boot=["zqrecovery"]) as dev:
        enter_menu(dev)
        for _ in range(moves):
            dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(9 - moves)) == menu(9 - moves)
        dev.press(HOME)
        dev.wait_for_line(rf"Restarting system with command '{argument}'")
        assert dev.wait_for_exit(20) == 0
        assert dev.shell_record() == [("/system/bin/sh", command)]


def test_vexpress_runs_on_event0_without_event1_at_16_bits():
    with device(machine="vexpress", bpp=16, boot=["zqrecovery"]) as dev:
        dev.wait_for_line(r"failed to open /dev/input/event1")
        enter_menu(dev)
        dev.press(NEXT)
        assert dev.wait_for_screen(menu(1)) == menu(1)
        dev.press(PREVIOUS)
        assert dev.wait_for_screen(menu(0)) == menu(0)
        dev.press(HOME)
        dev.wait_for_line(r"^zq: zqrecovery exited 0$")


def test_font_that_does_not_load_ends_the_program_before_drawing():
    with device(machine="virt", boot=["zqrecovery"],
                remove=["/ZQ/media/inconsolata_20px_ffffff.bmp"]) as dev:
        dev.wait_for_line(r"^bmp_open: No such file or directory$")
        dev.wait_for_line(r"^zq: zqrecovery exited 0$", timeout=10)
        # Only the threads draw, and none started. (The screen itself is not
        # compared: the kernel's console may still leave its cursor there.)
        assert not any("thread_function" in line for line in dev.console())
