#!/usr/bin/python3
"""Turns the demo's PPM screens into PNG files, and the animation frames into
an animated GIF at the program's two frames per second.
Usage: to_png.py DIR"""
import glob
import os
import sys

from PIL import Image


def main():
    out = sys.argv[1]
    for ppm in sorted(glob.glob(os.path.join(out, "*.ppm"))):
        Image.open(ppm).save(ppm[:-4] + ".png")
        os.remove(ppm)
    frames = [Image.open(p) for p in sorted(glob.glob(os.path.join(out, "animation_frame*.png")))]
    if frames:
        frames[0].save(os.path.join(out, "animation.gif"), save_all=True,
                       append_images=frames[1:], duration=500, loop=0)
    for f in sorted(os.listdir(out)):
        print(os.path.join(out, f))


if __name__ == "__main__":
    main()
