"""`make demo`'s script, run as the README runs it, into a temporary folder:
every picture it saves shows what it says."""
import os
import subprocess
import sys

from PIL import Image

from conftest import BUILD, COUNTDOWN, PROMPT, SOURCE, menu
import zqdevice

DEMO = os.path.join(SOURCE, "emulated_device", "demo.py")
sys.path.insert(0, os.path.dirname(DEMO))
import demo  # noqa: E402


def rgb_of(path):
    with Image.open(path) as image:
        picture = image.convert("RGB")
        return picture.width, picture.height, picture.tobytes()


def test_the_demo_saves_each_screen_a_user_sees(tmp_path):
    out = tmp_path / "demo"
    run = subprocess.run([sys.executable, DEMO, BUILD, str(out)], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    reader = zqdevice.ScreenReader(os.path.join(BUILD, "arm", "media",
                                                "inconsolata_20px_ffffff.bmp"), 32)

    def text(name):
        return reader.lines(*rgb_of(out / name))

    assert text("1-countdown.png") == [COUNTDOWN.format(4)]
    assert text("2-menu.png")[:12] == menu(0)
    assert text("3-menu-internal-sdcard00.png")[:12] == menu(1)
    progress = text("4-update-progress.png")
    assert progress[-1].startswith(demo.BIG_FILE[len("zq/update00"):] + " copying: "), progress
    result = text("4-update-result.png")
    assert result[:len(progress) - 1] == progress[:-1], (progress, result)
    for line in ["checked against the card's manifest: 9 entries",
                 "/system/app/Demo.apk copied 20000 bytes.",
                 f"/system/app/DemoMedia.apk copied {12 << 20} bytes.", "writing to storage...",
                 "done.", PROMPT]:
        assert line in result, (line, result)
    assert text("5-menu-after-update.png")[:12] == menu(0)
    frames = [zqdevice.read_bmp_rgb(os.path.join(BUILD, "arm", "media", f"zqani0{k}.bmp"))
              for k in range(4)]
    for k in range(4):
        width, _, rgb = rgb_of(out / f"6-animation-frame{k}.png")
        assert demo.frame_shown(rgb, width, frames) == k
    with Image.open(out / "6-animation.png") as loop:
        assert loop.n_frames == 4
        for k in range(4):
            loop.seek(k)
            assert loop.info["duration"] == 500
            assert demo.frame_shown(loop.convert("RGB").tobytes(), loop.width, frames) == k
    for name in sorted(os.listdir(out)):
        assert str(out / name) in run.stdout, name
