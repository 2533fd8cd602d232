#!/usr/bin/python3
"""Checks the BMP reader against an independent decoder (Pillow) on pictures
written by independent encoders (ImageMagick and Pillow).

Usage: check_conformance.py ZQBMP WORKDIR

Every picture is decoded by `zqbmp ppm` and compared pixel by pixel with
Pillow's decoding of the same file: red, green and blue (alpha is not part of
the device's colour); 16-bit channels on their top bits, since the reader moves
5- and 6-bit channels up without filling the low bits. Files the reader must
refuse (the 12-byte core header) are checked to be refused. Ends with the
plain 'N passed, N failed' line.
"""
import os
import random
import re
import shutil
import struct
import subprocess
import sys

from PIL import Image, ImageChops

CONVERT = "/usr/bin/convert"
SIZES = [(1, 1), (3, 2), (5, 5), (33, 7), (1, 9), (64, 48), (257, 130)]
# ImageMagick's encodings: name, arguments, format, which pictures (colour count).
MAGICK = [
    ("bilevel", ["-type", "Palette", "-colors", "2", "-compress", "None"], "BMP3", lambda c: c == 2),
    ("pal16", ["-type", "Palette", "-compress", "None"], "BMP3", lambda c: 0 < c <= 16),
    ("pal256", ["-type", "Palette", "-depth", "8", "-compress", "None"], "BMP3", lambda c: c > 0),
    ("rle8", ["-type", "Palette", "-compress", "RLE"], "BMP3", lambda c: c > 0),
    ("pal_v5", ["-type", "Palette", "-compress", "None"], "BMP", lambda c: c > 0),
    ("true24", ["-type", "TrueColor", "-compress", "None"], "BMP3", lambda c: c == 0),
    ("true32", ["-type", "TrueColorAlpha", "-alpha", "on"], "BMP", lambda c: c == 0),
    ("rgb565", ["-define", "bmp:subtype=RGB565"], "BMP", lambda c: c == 0),
    ("rgb555", ["-define", "bmp:subtype=RGB555"], "BMP", lambda c: c == 0),
    ("argb8888", ["-define", "bmp:subtype=ARGB8888"], "BMP", lambda c: c == 0),
    ("os2core", ["-type", "TrueColor"], "BMP2", lambda c: c == 0),  # must be refused
]


def source_picture(width, height, colours, seed):
    """An RGB picture with at most `colours` colours (0 for any) and some structure."""
    rng = random.Random(seed)
    palette = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(max(colours, 1))]
    img = Image.new("RGB", (width, height))
    for y in range(height):
        for x in range(width):
            # runs of equal colours, so RLE has runs to find
            img.putpixel((x, y), palette[((x // 3) + y * 7 + rng.randrange(2)) % colours] if colours
                         else ((x * 255) // max(1, width - 1), (y * 255) // max(1, height - 1),
                               rng.randrange(256)))
    return img


def make_corpus(out):
    """Writes the corpus; returns [(path, must_load)]."""
    files = []
    for n, ((w, h), colours) in enumerate((s, c) for s in SIZES for c in (2, 16, 200, 0)):
        src = source_picture(w, h, colours, n + 1)
        base = os.path.join(out, f"{w}x{h}_c{colours}")
        half_alpha = Image.merge("RGBA", (*src.split(), Image.new("L", src.size, 128)))
        pil = {"pil_24": src, "pil_32": half_alpha} if not colours else \
            {"pil_p": src.quantize(colors=colours), "pil_l": src.convert("L")}
        if colours == 2:
            pil["pil_1"] = src.convert("1", dither=Image.Dither.NONE)
        for name, img in pil.items():
            img.save(f"{base}_{name}.bmp")
            files.append((f"{base}_{name}.bmp", True))
        src.save(base + ".png")
        for name, args, fmt, takes in MAGICK:
            if takes(colours):
                subprocess.run([CONVERT, base + ".png"] + args + [f"{fmt}:{base}_im_{name}.bmp"],
                               check=True)
                files.append((f"{base}_im_{name}.bmp", fmt != "BMP2"))
    return files


def channel_keep(path):
    """(bits, compression, header size) and the bits of each channel the
    reader keeps: the mask lengths of 16-bit pictures."""
    with open(path, "rb") as f:
        data = f.read(70)
    header_size, = struct.unpack_from("<I", data, 14)
    if header_size < 40:
        return (None, None, header_size), (0xFF,) * 3
    bpp, compression = struct.unpack_from("<HI", data, 28)
    if bpp != 16:
        return (bpp, compression, header_size), (0xFF,) * 3
    masks = struct.unpack_from("<III", data, 54) if compression == 3 else (0x7C00, 0x03E0, 0x001F)
    lengths = [bin(m).count("1") for m in masks]
    return (bpp, compression, header_size), tuple((0xFF << (8 - n)) & 0xFF if 0 < n <= 8 else 0
                                                  for n in lengths)


def check(zqbmp, path, must_load, covered):
    """None when the reader agrees with Pillow, else what differs."""
    (bpp, compression, header_size), keep = channel_keep(path)
    loaded = subprocess.run([zqbmp, "ppm", path, path + ".ppm"], capture_output=True).returncode == 0
    if not must_load:
        return f"a {header_size}-byte header must not load" if loaded else None
    if not loaded:
        return f"not loaded ({header_size}-byte header, {bpp} bits, compression {compression})"
    ours = Image.open(path + ".ppm").convert("RGB")
    ref = Image.open(path).convert("RGB")
    if ours.size != ref.size:
        return f"size {ours.size}, Pillow {ref.size}"
    theirs = Image.merge("RGB", [band.point(lambda v, k=k: v & k) for band, k in zip(ref.split(), keep)])
    box = ImageChops.difference(ours, theirs).getbbox()
    if box:
        return (f"pixel {box[:2]} is {ours.getpixel(box[:2])}, Pillow {theirs.getpixel(box[:2])} "
                f"({bpp} bits, compression {compression})")
    covered.add((bpp, compression))
    return None


def check_preview(zqbmp, work):
    """The preview's PNG files, decoded by Pillow, are the splash Pillow
    composes from the same pictures: noise, so that every filter and
    compression step shows."""
    header = open(os.path.join(os.path.dirname(__file__), "..", "..", "animation",
                               "animation_facts.h")).read()
    frame_y = int(re.search(r"FRAME_Y = (\d+)", header).group(1))
    media = os.path.join(work, "preview-media")
    os.makedirs(media)
    rng = random.Random(9)
    background = Image.frombytes("RGB", (96, 80), bytes(rng.randrange(256) for _ in range(96 * 80 * 3)))
    frame = Image.frombytes("RGB", (70, 20), bytes(rng.randrange(256) for _ in range(70 * 20 * 3)))
    background.save(os.path.join(media, "zqtitle.bmp"))
    for k in range(4):
        frame.save(os.path.join(media, f"zqani0{k}.bmp"))
    out = os.path.join(work, "preview")
    subprocess.run([zqbmp, "preview", media, "--screen", "96x80x32", out], capture_output=True)
    want = background.copy()
    want.paste(frame, (0, frame_y))
    with Image.open(os.path.join(out, "splash-frame0.png")) as got:
        if got.convert("RGB").tobytes() != want.tobytes():
            return "splash-frame0.png is not the splash Pillow composes"
    return None


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    zqbmp, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures, covered = [], set()
    files = make_corpus(work)
    for path, must_load in files:
        problem = check(zqbmp, path, must_load, covered)
        if problem:
            failures.append(f"FAIL {os.path.basename(path)}: {problem}")
    problem = check_preview(zqbmp, work)
    if problem:
        failures.append(f"FAIL preview: {problem}")
    passed = len(files) + 1 - len(failures)
    print("covered (bits, compression):", sorted(covered))
    failures += [f"FAIL coverage: no picture of {b} bits with compression {c}"
                 for b, c in [(1, 0), (4, 0), (8, 0), (8, 1), (16, 3), (24, 0), (32, 0), (32, 3)]
                 if (b, c) not in covered]
    print("\n".join(failures))
    print(f"{passed} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
