"""run_zq_device_init on the emulated device, in Android's layout and on a
plain Linux root: the script goes to the platform's shell."""
import pytest

from conftest import Boot, device


@pytest.mark.parametrize("layout,shell", [("android", "/system/bin/sh"), ("linux", "/bin/sh")])
def test_runs_the_device_init_script_through_the_platforms_shell(layout, shell):
    with device(boot=Boot(programs=["run_zq_device_init"], layout=layout)) as dev:
        dev.wait_for_line(r"^zq_device_init: device initialised$")
        dev.wait_for_line(r"^zq: run_zq_device_init exited 0$")
        assert dev.shell_record() == [(shell, "/ZQ/bin/zq_device_init_wrapper.sh")]
