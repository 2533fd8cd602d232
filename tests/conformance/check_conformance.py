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
import shutil
import struct
import subprocess
import sys

from PIL import Image

CONVERT = "/usr/bin/convert"
SIZES = [(1, 1), (3, 2), (5, 5), (33, 7), (1, 9), (64, 48), (257, 130)]


def source_picture(width, height, colours, seed):
    """An RGB picture with at most `colours` colours (0 for any) and some structure."""
    rng = random.Random(seed)
    palette = [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(max(colours, 1))]
    img = Image.new("RGB", (width, height))
    px = img.load()
    for y in range(height):
        for x in range(width):
            if colours:
                # runs of equal colours, so RLE has runs to find
                px[x, y] = palette[((x // 3) + y * 7 + rng.randrange(2)) % colours]
            else:
                px[x, y] = ((x * 255) // max(1, width - 1), (y * 255) // max(1, height - 1),
                            rng.randrange(256))
    return img


def header_fields(path):
    with open(path, "rb") as f:
        head = f.read(54)
    if len(head) < 18:
        return (0, None, None)
    header_size = struct.unpack_from("<I", head, 14)[0]
    if header_size < 40 or len(head) < 34:
        return (header_size, None, None)
    bpp = struct.unpack_from("<H", head, 28)[0]
    compression = struct.unpack_from("<I", head, 30)[0]
    return (header_size, bpp, compression)


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts = data.split(b"\n", 3)
    width, height = map(int, parts[1].split())
    return width, height, parts[3]


def make_corpus(out):
    """Writes the corpus; returns [(path, must_load)]."""
    files = []
    n = 0

    def add(path, must_load=True):
        files.append((path, must_load))

    for (w, h) in SIZES:
        for colours, label in ((2, "c2"), (16, "c16"), (200, "c200"), (0, "true")):
            n += 1
            src = source_picture(w, h, colours, n)
            png = os.path.join(out, f"src_{w}x{h}_{label}.png")
            src.save(png)
            base = os.path.join(out, f"{w}x{h}_{label}")
            # Pillow's encoder.
            if colours == 2:
                src.convert("1", dither=Image.Dither.NONE).save(base + "_pil_1.bmp")
                add(base + "_pil_1.bmp")
            if colours and colours <= 256:
                src.quantize(colors=colours).save(base + "_pil_p.bmp")
                add(base + "_pil_p.bmp")
                src.convert("L").save(base + "_pil_l.bmp")
                add(base + "_pil_l.bmp")
            else:
                src.save(base + "_pil_24.bmp")
                add(base + "_pil_24.bmp")
                rgba = src.convert("RGBA")
                rgba.putalpha(128)
                rgba.save(base + "_pil_32.bmp")
                add(base + "_pil_32.bmp")
            # ImageMagick's encoder.
            im = []
            if colours == 2:
                im.append(("bilevel", ["-type", "Palette", "-colors", "2", "-compress", "None"], "BMP3"))
            if colours and colours <= 16:
                im.append(("pal16", ["-type", "Palette", "-compress", "None"], "BMP3"))
            if colours and colours <= 256:
                im.append(("pal256", ["-type", "Palette", "-depth", "8", "-compress", "None"], "BMP3"))
                im.append(("rle8", ["-type", "Palette", "-compress", "RLE"], "BMP3"))
                im.append(("pal_v5", ["-type", "Palette", "-compress", "None"], "BMP"))
            if not colours:
                im.append(("true24", ["-type", "TrueColor", "-compress", "None"], "BMP3"))
                im.append(("true32", ["-type", "TrueColorAlpha", "-alpha", "on"], "BMP"))
                im.append(("rgb565", ["-define", "bmp:subtype=RGB565"], "BMP"))
                im.append(("rgb555", ["-define", "bmp:subtype=RGB555"], "BMP"))
                im.append(("argb8888", ["-define", "bmp:subtype=ARGB8888"], "BMP"))
                im.append(("os2core", ["-type", "TrueColor"], "BMP2"))
            for name, args, fmt in im:
                path = f"{base}_im_{name}.bmp"
                subprocess.run([CONVERT, png] + args + [f"{fmt}:{path}"], check=True)
                add(path, must_load=(fmt != "BMP2"))
    return files


def channel_keep(bpp, compression, path):
    """Bits of each channel the reader keeps: the mask lengths of 16-bit pictures."""
    if bpp != 16:
        return (0xFF, 0xFF, 0xFF)
    with open(path, "rb") as f:
        data = f.read(70)
    if compression == 3:
        masks = struct.unpack_from("<III", data, 54)
    else:
        masks = (0x7C00, 0x03E0, 0x001F)
    keep = []
    for m in masks:
        length = bin(m).count("1")
        keep.append((0xFF << (8 - length)) & 0xFF if 0 < length <= 8 else 0)
    return tuple(keep)


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    zqbmp, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    files = make_corpus(work)
    passed = failed = 0
    covered = set()
    for path, must_load in files:
        header_size, bpp, compression = header_fields(path)
        out = path + ".ppm"
        result = subprocess.run([zqbmp, "ppm", path, out], capture_output=True)
        name = os.path.basename(path)
        if not must_load:
            if result.returncode == 0:
                print(f"FAIL {name}: a {header_size}-byte header must not load")
                failed += 1
            else:
                passed += 1
            continue
        if result.returncode != 0:
            print(f"FAIL {name}: not loaded ({header_size}-byte header, {bpp} bits, compression {compression})")
            failed += 1
            continue
        width, height, ours = read_ppm(out)
        ref = Image.open(path).convert("RGB")
        if (width, height) != ref.size:
            print(f"FAIL {name}: size {width}x{height}, Pillow {ref.size}")
            failed += 1
            continue
        keep = channel_keep(bpp, compression, path)
        theirs = ref.tobytes()
        bad = None
        for i in range(0, len(theirs), 3):
            for c in range(3):
                if ours[i + c] != (theirs[i + c] & keep[c]):
                    bad = i // 3
                    break
            if bad is not None:
                break
        if bad is not None:
            x, y = bad % width, bad // width
            print(f"FAIL {name}: pixel ({x},{y}) is {tuple(ours[3*bad:3*bad+3])}, "
                  f"Pillow {tuple(theirs[3*bad:3*bad+3])} ({bpp} bits, compression {compression})")
            failed += 1
            continue
        covered.add((bpp, compression, header_size > 40))
        passed += 1
    print("covered (bits, compression, longer header):", sorted(covered))
    for need in [(1, 0), (4, 0), (8, 0), (8, 1), (16, 3), (24, 0), (32, 0), (32, 3)]:
        if not any(c[:2] == need for c in covered):
            print(f"FAIL coverage: no picture of {need[0]} bits with compression {need[1]}")
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
