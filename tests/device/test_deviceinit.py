"""run_zq_device_init on the emulated device."""
from conftest import device


def test_runs_the_device_init_script_and_exits_zero():
    with device(machine="virt", boot=["run_zq_device_init"]) as dev:
        dev.wait_for_line(r"^zq_device_init: device initialised$")
        dev.wait_for_line(r"^zq: run_zq_device_init exited 0$")
        assert "/ZQ/bin/zq_device_init_wrapper.sh" in dev.shell_commands()
