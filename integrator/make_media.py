#!/usr/bin/python3
"""Makes the device's pictures under /ZQ/media/ as BMP files the device loads.

  inconsolata_20px_ffffff.bmp  the font: Inconsolata at 20 px, white on black,
                               characters 32 to 126 in a 10 x 10 grid of cells
  zqtitle.bmp                  the boot splash background (8-bit palette)
  zqani00.bmp .. zqani03.bmp   the four animation frames (24-bit)

Usage: make_media.py OUTDIR [WIDTH HEIGHT]   (default 800 x 480)
Needs Debian's python3-pil and fonts-inconsolata.
"""
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_FILE = "/usr/share/fonts/truetype/inconsolata/Inconsolata.otf"
FONT_PX = 20
GRID = 10
FIRST, LAST = 32, 126
FRAME_Y = 50  # where the program draws the frames


def make_font(path):
    font = ImageFont.truetype(FONT_FILE, FONT_PX)
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


def main():
    if len(sys.argv) not in (2, 4):
        raise SystemExit(__doc__)
    out = sys.argv[1]
    width, height = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) == 4 else (800, 480)
    os.makedirs(out, exist_ok=True)
    make_font(os.path.join(out, "inconsolata_20px_ffffff.bmp"))
    make_background(os.path.join(out, "zqtitle.bmp"), width, height)
    frame_h = max(8, (height - FRAME_Y) // 2)
    for k in range(4):
        make_frame(os.path.join(out, f"zqani0{k}.bmp"), width, frame_h, k)


if __name__ == "__main__":
    main()
