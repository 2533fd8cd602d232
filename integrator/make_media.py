#!/usr/bin/python3
"""Makes the device's pictures under /ZQ/media/ as BMP files the device loads.

  inconsolata_20px_ffffff.bmp  the font: Inconsolata (20 px unless --font-size
                               says), white on black, characters 32 to 126 in a
                               10 x 10 grid of cells; the programs load it by this
                               name whatever its size
  zqtitle.bmp                  the boot splash background (8-bit palette)
  zqani00.bmp .. zqani03.bmp   the four animation frames (24-bit)

Usage: make_media.py [--font-size PX] OUTDIR [WIDTH HEIGHT]   (default 800 x 480)
Needs Debian's python3-pil and fonts-inconsolata.
"""
import argparse
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_FILE = "/usr/share/fonts/truetype/inconsolata/Inconsolata.otf"
FONT_PX = 20  # the default size
FONT_PX_RANGE = (8, 48)
SIDE_RANGE = (1, 8192)  # a screen's side, as the programs take it
GRID = 10
FIRST, LAST = 32, 126
FRAME_Y = 50  # where the program draws the frames


def make_font(path, size):
    font = ImageFont.truetype(FONT_FILE, size)
    ascent, descent = font.getmetrics()
    cell_w = max(math.ceil(font.getlength(chr(c))) for c in range(FIRST, LAST + 1))
    cell_h = ascent + descent + 1  # one row of leading above the ascent
    sheet = Image.new("L", (cell_w * GRID, cell_h * GRID), 0)
    draw = ImageDraw.Draw(sheet)
    for code in range(FIRST, LAST + 1):
        i = code - FIRST
        x0, y0 = (i % GRID) * cell_w, (i // GRID) * cell_h + 1
        left, top, right, bottom = font.getbbox(chr(code))
        if left < 0 or top < -1 or right > cell_w or bottom > cell_h - 1:
            raise SystemExit(f"glyph {chr(code)!r} leaves its cell: {(left, top, right, bottom)}")
        draw.text((x0, y0), chr(code), fill=255, font=font)
    cells = set()
    for i in range(LAST - FIRST + 1):
        x0, y0 = (i % GRID) * cell_w, (i // GRID) * cell_h
        cells.add(sheet.crop((x0, y0, x0 + cell_w, y0 + cell_h)).tobytes())
    if len(cells) != LAST - FIRST + 1:
        raise SystemExit("two glyphs of the font are identical")
    sheet.save(path)
    return cell_w, cell_h


def make_background(path, width, height):
    img = Image.new("RGB", (width, height))
    draw = ImageDraw.Draw(img)
    for y in range(height):
        shade = 16 + (y * 48) // max(1, height - 1)
        draw.line([(0, y), (width, y)], fill=(shade // 2, shade // 2, shade))
    title = ImageFont.truetype(FONT_FILE, 36)
    draw.text((12, 6), "ZQ", fill=(240, 240, 255), font=title)
    draw.rectangle([0, height - 8, width - 1, height - 1], fill=(200, 40, 40))
    img.quantize(colors=64).save(path)


def make_frame(path, width, height, k):
    """Frame k: four dots with dot k lit, and the digit k + 1, on its own colour."""
    colours = [(200, 40, 40), (40, 180, 60), (40, 80, 220), (230, 190, 30)]
    img = Image.new("RGB", (width, height), (10, 10, 20))
    draw = ImageDraw.Draw(img)
    r = min(height // 6, width // 16)
    cx, cy = width // 2, height // 2
    for j in range(4):
        x = cx + (j - 1.5) * 3 * r
        fill = colours[k] if j == k else (60, 60, 70)
        draw.ellipse([x - r, cy - r, x + r, cy + r], fill=fill)
    big = ImageFont.truetype(FONT_FILE, max(12, height // 4))
    draw.text((8, 4), str(k + 1), fill=colours[k], font=big)
    img.save(path)


def bounded(low, high, what):
    """An argparse type: a whole number from low to high."""
    def parse(text):
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of {what}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} {what}: give {low} to {high}")
        return value
    return parse


def main():
    parser = argparse.ArgumentParser(
        description="Makes the six pictures the programs load from /ZQ/media, for a screen of "
                    "WIDTH x HEIGHT (default 800 x 480).")
    parser.add_argument("outdir", help="the folder to write them to (made if missing)")
    parser.add_argument("size", nargs="*", type=bounded(*SIDE_RANGE, "pixels"),
                        metavar="WIDTH HEIGHT", help="the screen's size in pixels")
    parser.add_argument("--font-size", type=bounded(*FONT_PX_RANGE, "px"), default=FONT_PX,
                        metavar="PX", help=f"the font's size in pixels (default {FONT_PX}; "
                                           "smaller screens need a smaller one)")
    args = parser.parse_args()
    if len(args.size) not in (0, 2):
        parser.error("give both WIDTH and HEIGHT, or neither")
    width, height = args.size or (800, 480)
    try:
        os.makedirs(args.outdir, exist_ok=True)
    except OSError as e:
        parser.exit(1, f"make_media.py: {args.outdir}: {e.strerror}\n")
    make_font(os.path.join(args.outdir, "inconsolata_20px_ffffff.bmp"), args.font_size)
    make_background(os.path.join(args.outdir, "zqtitle.bmp"), width, height)
    frame_h = max(8, (height - FRAME_Y) // 2)
    for k in range(4):
        make_frame(os.path.join(args.outdir, f"zqani0{k}.bmp"), width, frame_h, k)


if __name__ == "__main__":
    main()
