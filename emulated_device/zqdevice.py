#!/usr/bin/python3
"""The emulated device: a real 32-bit ARM Linux kernel under qemu-system-arm,
with its framebuffer, evdev keyboards, FAT cards and ext4 /system and /data
partitions, running the static ARM builds of the three programs unmodified,
installed from `cmake --install build/arm --strip`.

Layouts: "android" (the default: no /bin, the shell front as /system/bin/sh,
busybox in /system/xbin) and "linux" (busybox and the shell front in /bin).

    from zqdevice import Boot, Cards, Device, Screen
    with Device(build="build", screen=Screen(machine="virt", width=800, height=480, bpp=32),
                cards=Cards(internal="tree/"), boot=Boot(programs=["zqrecovery"])) as dev:
        dev.wait_for_line("worker_thread_function")
        dev.press(50)                     # HOME (or a qcode: dev.press("m"))
        dev.screenshot("menu.png")
        print(dev.screen_text())
        dev.read_file("/system/app/x")    # read back from the partition images
    # leaving the block powers the device off

The options come in groups: Screen (the machine and its screen), Cards,
Partitions (/system and /data), Boot (what the boot script runs, and how) and
Faults (what goes wrong on purpose); KERNEL_ARGUMENTS tells the boot script of
them.

Machines: "virt" (virtio GPU at 32 bits, four input devices, two virtio disks
as the cards) and "vexpress" (the PL111 display at 16 or 32 bits, one MMC card,
the PS/2 keyboard as event0 only). Standard library only.
"""
import dataclasses
import fcntl
import hashlib
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import zlib

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def load_facts(build=None):
    """What the device programs hold (their texts, numbers and menu), as the
    build's own zqbmp prints them (zqbmp facts --format json): the ARM one
    through qemu-arm, else the desk's. build: ZQ_BUILD, else build/ of the source."""
    build = build or os.environ.get("ZQ_BUILD", os.path.join(SOURCE, "build"))
    arm = os.path.join(build, "arm", "bin", "zqbmp")
    command = ["qemu-arm", arm] if os.path.exists(arm) else [os.path.join(build, "host", "bin",
                                                                          "zqbmp")]
    out = subprocess.run(command + ["facts", "--format", "json"], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


FACTS = load_facts()


def fact(name):
    """A text or number of the programs, by the name their source gives it."""
    return FACTS["texts"][name] if name in FACTS["texts"] else FACTS["numbers"][name]


FRAME_Y = fact("FRAME_Y")  # the splash frames' row
PROGRESS_GAP = fact("UPDATE_PROGRESS_GAP")
MODULES = {
    "virt": ["virtio_mmio", "virtio_blk", "virtio_input", "evdev", "virtio_gpu", "vfat",
             "nls_cp437", "nls_ascii", "crc32c_generic", "ext4", "9pnet_virtio", "9p"],
    "vexpress": ["virtio_mmio", "virtio_blk", "armmmci", "ambakmi", "evdev", "vfat",
                 "nls_cp437", "nls_ascii", "crc32c_generic", "ext4", "9pnet_virtio", "9p"],
}
PROGRAMS = ["zqrecovery", "zqanimation", "run_zq_device_init"]
LAYOUTS = ("android", "linux")
# What the boot script runs before /system is mounted, from /sbin.
EARLY_APPLETS = ["mount", "umount", "mkdir", "ln", "cat", "sleep", "grep", "tr", "ls", "rm",
                 "insmod", "echo"]
# Applets the platform provides itself: the shell front handles these.
FRONT_COMMANDS = ("sh", "reboot", "start", "busybox")
PARTITION_MB = {"system": 64, "data": 32}

# What zqrecovery shows: its keys, countdown line, banner, menu and prompt.
HOME, NEXT, PREVIOUS = 50, 58, 42
QCODES = {HOME: "m", NEXT: "caps_lock", PREVIOUS: "shift"}
# All of it as the program defines it (zqbmp facts).
COUNTDOWN = fact("COUNTDOWN_FORMAT").replace("%d", "{}")
COUNTDOWN_SECONDS = fact("COUNTDOWN_SECONDS")
HEADER = fact("ZQ_TITLE_LINES").split("\n")  # title, address, an empty line
MENU = [(item["label"], item["argument"]) for item in FACTS["menu"]]
PROMPT = fact("UPDATE_PROMPT").rstrip("\n")


def menu(selected):
    """The menu screen's lines with item `selected` highlighted."""
    return HEADER + [("--> " if i == selected else "") + f"{label}: {arg}"
                     for i, (label, arg) in enumerate(MENU)]


class DeviceError(Exception):
    pass


class File:
    """A file for system_files with its owner and mode."""

    def __init__(self, content, mode=0o644, uid=0, gid=0, labels=None):
        self.content, self.mode, self.uid, self.gid = content, mode, uid, gid
        self.labels = labels or {}  # extended attributes: {"security.selinux": b"..."}


class Link:
    """A symbolic link for system_files."""

    def __init__(self, target):
        self.target = target


def wait_until(condition, timeout, interval=0.1):
    """The one polling loop: checks condition every interval seconds until it
    holds or timeout seconds of wall time have passed; its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


# ---------------------------------------------------------------- kernel, busybox

def fetch_platform(cache):
    """The armhf kernel and busybox from Debian, unpacked under cache (once)."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return _fetch_platform(cache)


def _fetch_platform(cache):
    done = os.path.join(cache, "ready")
    if os.path.exists(done):
        with open(done) as f:
            return f.read().strip()
    os.makedirs(cache, exist_ok=True)
    deps = run(["apt-cache", "depends", "linux-image-armmp:armhf"]).stdout
    match = re.search(r"Depends: (linux-image-(\S+)-armmp):armhf", deps)
    if not match:
        raise DeviceError("no armhf kernel package: run tools/install-deps.sh")
    package, version = match.group(1), match.group(2) + "-armmp"
    try:
        run(["apt-get", "download", package + ":armhf", "busybox-static:armhf"], cwd=cache)
    except subprocess.CalledProcessError:
        # The lists may name a version the archive has replaced since.
        run(["apt-get", "update", "-qq"])
        return _fetch_platform(cache)
    root = os.path.join(cache, "root")
    for deb in os.listdir(cache):
        if deb.endswith(".deb"):
            run(["dpkg", "-x", os.path.join(cache, deb), root])
            os.remove(os.path.join(cache, deb))
    run(["depmod", "-b", root, version])
    with open(done, "w") as f:
        f.write(version)
    return version


def panel_module(cache, version):
    """zq_panel.ko, built against the device kernel's headers (Debian's
    packages, unpacked under cache once) with the armel cross compiler; again
    whenever its source changes."""
    with open(os.path.join(HERE, "zq_panel.c"), "rb") as f:
        code = f.read()
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        source = os.path.join(cache, "panel-" + hashlib.sha1(code).hexdigest()[:12])
        out = os.path.join(source, "zq_panel.ko")
        if os.path.exists(out):
            return out
        kbuild = os.path.join(cache, "kbuild")
        common = version.rsplit("-", 1)[0] + "-common"  # 6.1.0-50-armmp: 6.1.0-50-common
        headers = os.path.join(kbuild, "usr", "src", "linux-headers-" + version)
        if not os.path.exists(os.path.join(headers, "Makefile")):
            series = ".".join(version.split(".")[:2])  # linux-kbuild-6.1
            run(["apt-get", "download", f"linux-headers-{version}:armhf",
                 f"linux-headers-{common}", f"linux-kbuild-{series}"], cwd=cache)
            for deb in os.listdir(cache):
                if deb.endswith(".deb"):
                    run(["dpkg", "-x", os.path.join(cache, deb), kbuild])
                    os.remove(os.path.join(cache, deb))
            # Its Makefile names the common tree by its installed, absolute path.
            common_tree = os.path.join(kbuild, "usr", "src", "linux-headers-" + common)
            with open(os.path.join(headers, "Makefile"), "w") as f:
                f.write(f"include {common_tree}/Makefile\n")
        os.makedirs(source, exist_ok=True)
        with open(os.path.join(source, "zq_panel.c"), "wb") as f:
            f.write(code)
        with open(os.path.join(source, "Kbuild"), "w") as f:
            f.write("obj-m := zq_panel.o\n")
        run(["make", "-s", "-C", headers, f"M={source}", "ARCH=arm",
             "CROSS_COMPILE=arm-linux-gnueabi-", "modules"])
        return out


def module_files(root, version, names):
    """The .ko files of the modules and their dependencies, in load order."""
    files = []
    for name in names:
        out = run(["modprobe", "-d", root, "-S", version, "--show-depends", name]).stdout
        for line in out.splitlines():
            parts = line.split()
            if parts and parts[0] == "insmod" and parts[1] not in files:
                files.append(parts[1])
    return files


def install_staging(build, out):
    """The tree an integrator puts on a device: cmake --install of the arm build."""
    run(["cmake", "--install", os.path.join(build, "arm"), "--prefix", out, "--strip"])


def applet_links(busybox, directory):
    """Links to busybox in directory for its applets but the front's commands."""
    applets = run(["qemu-arm", busybox, "--list"]).stdout.split()
    for applet in applets:
        if applet not in FRONT_COMMANDS:
            os.symlink("busybox", os.path.join(directory, applet))


def build_initramfs(stage, front, cache, version, machine, layout, out, extra=()):
    """An uncompressed newc cpio: the boot script with an early busybox in
    /sbin, /ZQ from the staging tree, the modules; with the linux layout
    also busybox and the shell front in /bin."""
    root = os.path.join(cache, "root")
    busybox = os.path.join(root, "bin", "busybox")
    tree = tempfile.mkdtemp(prefix="zq-initramfs-")
    try:
        for d in ["sbin", "proc", "sys", "dev", "etc", "lib/modules", "tmp", "sdcard", "system",
                  "data", "share"]:
            os.makedirs(os.path.join(tree, d), exist_ok=True)
        shutil.copytree(os.path.join(stage, "ZQ"), os.path.join(tree, "ZQ"))
        shutil.copy(busybox, os.path.join(tree, "sbin", "busybox"))
        shutil.copy(os.path.join(os.path.dirname(front), "zq_old_kernel"),
                    os.path.join(tree, "sbin", "zq_old_kernel"))
        for applet in EARLY_APPLETS:
            os.symlink("busybox", os.path.join(tree, "sbin", applet))
        if layout == "linux":
            os.makedirs(os.path.join(tree, "bin"))
            shutil.copy(busybox, os.path.join(tree, "bin", "busybox"))
            applet_links(busybox, os.path.join(tree, "bin"))
            shutil.copy(front, os.path.join(tree, "bin", "sh"))
        shutil.copy(os.path.join(HERE, "init.sh"), os.path.join(tree, "init"))
        os.chmod(os.path.join(tree, "init"), 0o755)
        names = []
        for ko in module_files(root, version, MODULES[machine]):
            name = os.path.basename(ko)
            shutil.copy(ko, os.path.join(tree, "lib", "modules", name))
            names.append(name)
        for ko, params in extra:  # (path, parameters) of modules built here, loaded last
            shutil.copy(ko, os.path.join(tree, "lib", "modules", os.path.basename(ko)))
            names.append(f"{os.path.basename(ko)} {params}")
        with open(os.path.join(tree, "etc", "modules"), "w") as f:
            f.write("\n".join(names) + "\n")
        listing = subprocess.run(["find", ".", "-mindepth", "1"], cwd=tree, check=True,
                                 capture_output=True).stdout
        with open(out, "wb") as f:
            subprocess.run(["cpio", "-o", "-H", "newc", "--quiet", "-R", "0:0"], cwd=tree,
                           input=listing, stdout=f, check=True)
    finally:
        shutil.rmtree(tree, ignore_errors=True)


def system_tree(stage, front, cache, layout, out):
    """/system: the programs; with the android layout also the shell front as
    bin/sh and busybox with its applets in xbin."""
    shutil.copytree(os.path.join(stage, "system"), out, symlinks=True)
    if layout == "android":
        busybox = os.path.join(cache, "root", "bin", "busybox")
        os.makedirs(os.path.join(out, "xbin"))
        shutil.copy(busybox, os.path.join(out, "xbin", "busybox"))
        applet_links(busybox, os.path.join(out, "xbin"))
        shutil.copy(front, os.path.join(out, "bin", "sh"))


def make_partition(tree, out, size_kb):
    """An ext4 image of size_kb KiB holding the tree, made without mounting."""
    run(["mke2fs", "-q", "-t", "ext4", "-E", "root_owner=0:0", "-d", tree, "-F", out,
         f"{size_kb}k"])


def free_bytes(image):
    """What files can still take: the free blocks less those the kernel keeps
    back for the file system's own metadata (2% of the blocks, at most 4,096)."""
    stats = run(["debugfs", "-R", "stats", image]).stdout
    free = int(re.search(r"^Free blocks:\s+(\d+)", stats, re.M).group(1))
    count = int(re.search(r"^Block count:\s+(\d+)", stats, re.M).group(1))
    block = int(re.search(r"^Block size:\s+(\d+)", stats, re.M).group(1))
    return (free - min(count * 2 // 100, 4096)) * block


# Sectors before the first partition of a disk that holds several.
DISK_START = 2048


def make_partitioned_disk(images, out):
    """One disk image holding the partition images ({name: path}, in order)
    after an MBR; returns {name: (first sector, sectors)}."""
    layout, start = {}, DISK_START
    for name, image in images.items():
        layout[name] = (start, os.path.getsize(image) // 512)
        start += layout[name][1]
    with open(out, "wb") as f:
        f.truncate(start * 512)
    script = "label: dos\n" + "".join(f"start={first}, size={count}, type=83\n"
                                      for first, count in layout.values())
    subprocess.run(["sfdisk", "-q", out], input=script, text=True, check=True,
                   capture_output=True)
    for name, image in images.items():
        run(["dd", f"if={image}", f"of={out}", "bs=1M", f"seek={layout[name][0] * 512}",
             "oflag=seek_bytes", "conv=notrunc,sparse", "status=none"])
    return layout


def split_disk(disk, layout, images):
    """Copies each partition of a disk made by make_partitioned_disk to its image."""
    for name, (first, count) in layout.items():
        run(["dd", f"if={disk}", f"of={images[name]}", "bs=1M", f"skip={first * 512}",
             f"count={count * 512}", "iflag=skip_bytes,count_bytes", "conv=sparse",
             "status=none"])


def replay_and_check(image):
    """Replays the journal of a copy of the image (e2fsck -fy), then checks it
    (e2fsck -fn). Returns the copy's path, the check's status and output."""
    copy = image + ".replayed"
    run(["cp", "--sparse=always", image, copy])
    subprocess.run(["e2fsck", "-fy", copy], capture_output=True, text=True)
    check = subprocess.run(["e2fsck", "-fn", copy], capture_output=True, text=True)
    return copy, check.returncode, check.stdout + check.stderr


# Where a panel's framebuffer lies: the board's video RAM, which the CLCD
# would otherwise use.
PANEL_MEMORY = 0x4C000000
# Panel formats: bits per pixel, and at 24 and 32 bits the bytes of red, green
# and blue in a pixel; at 16 bits Pillow's raw mode for the layout and the bits of
# red, green and blue. All but b5g6r5 (blue-first 5-6-5, which no
# simple-framebuffer names) are simple-framebuffer formats.
PANEL_FORMATS = {"x8b8g8r8": (32, (0, 1, 2)), "a8b8g8r8": (32, (0, 1, 2)),
                 "x8r8g8b8": (32, (2, 1, 0)), "a8r8g8b8": (32, (2, 1, 0)),
                 "r8g8b8": (24, (2, 1, 0)),
                 "x1r5g5b5": (16, ("BGR;15", (5, 5, 5))), "b5g6r5": (16, ("RGB;16", (5, 6, 5)))}
# What the driver of zq_panel.c offers that a simple-framebuffer does not.
MODULE_FORMATS = ("b5g6r5", "x8r8g8b8")


def panel_by_module(panel):
    """Whether a panel ({"stride", "format", and optionally "pages": 2 for a
    double-height screen, "on_request": True for a panel that shows only what
    it is told of}) needs zq_panel.c's driver rather than a simple-framebuffer."""
    return (panel["format"] == "b5g6r5" or panel.get("pages", 1) > 1
            or panel.get("on_request", False))


def panel_page_bytes(panel, height):
    return panel["stride"] * height


def panel_picture_address(panel, height):
    """Where the machine's memory holds what the panel shows: the page shown
    (the last), or the picture a panel refreshed on request was last told of."""
    page = panel_page_bytes(panel, height)
    pages = panel.get("pages", 1)
    if panel.get("on_request", False):
        return PANEL_MEMORY + (page * pages + 4095) // 4096 * 4096
    return PANEL_MEMORY + page * (pages - 1)


def vexpress_dtb(cache, version, width, height, bpp, out, panel=None):
    """The vexpress-a9 device tree with the PL111 driving a panel of the given
    size: the motherboard's CLCD off, a panel-dpi with its timing, and the
    memory bandwidth that selects 16 or 32 bits per pixel. With a panel
    ({"stride": bytes, "format": a simple-framebuffer format}), both CLCDs are
    off and the screen is a simple-framebuffer in the video RAM, as a boot
    loader leaves one: rows stride bytes apart, channels where the format
    puts them."""
    src = os.path.join(cache, "root", "usr", "lib", "linux-image-" + version, "vexpress-v2p-ca9.dtb")
    dts = run(["dtc", "-q", "-I", "dtb", "-O", "dts", src]).stdout
    # Motherboard CLCD off.
    dts = dts.replace("clcd@1f000 {", 'clcd@1f000 {\n\t\t\t\t\tstatus = "disabled";', 1)
    if panel is not None:
        dts = dts.replace("\tclcd@10020000 {", '\tclcd@10020000 {\n\t\tstatus = "disabled";', 1)
        if panel_by_module(panel):  # its driver is a module, not a device-tree node
            run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", out, "-"], input=dts)
            return
        node = f"""
\tframebuffer@{PANEL_MEMORY:x} {{
\t\tcompatible = "simple-framebuffer";
\t\treg = <{PANEL_MEMORY:#x} {panel["stride"] * height:#x}>;
\t\twidth = <{width}>;
\t\theight = <{height}>;
\t\tstride = <{panel["stride"]}>;
\t\tformat = "{panel["format"]}";
\t}};
"""
        dts = dts.rstrip()
        assert dts.endswith("};")
        run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", out, "-"], input=dts[:-2] + node + "};\n")
        return
    # The CA9 CLCD: bandwidth decides the depth; its endpoint goes to the new panel.
    block = re.search(r"\tclcd@10020000 \{.*?\n\t\};", dts, re.S)
    if not block:
        raise DeviceError("vexpress dtb: no clcd@10020000")
    clcd = block.group(0)
    clcd = re.sub(r"\n\s*max-memory-bandwidth = <[^>]*>;", "", clcd)
    if bpp == 16:
        clcd = clcd.replace("clcd@10020000 {", "clcd@10020000 {\n\t\t\tmax-memory-bandwidth = <54000000>;", 1)
    clcd = re.sub(r"remote-endpoint = <[^>]*>;", "remote-endpoint = <&zq_panel_in>;", clcd)
    clcd = re.sub(r"(endpoint \{)", r"zq_clcd_out: \1", clcd, count=1)
    dts = dts.replace(block.group(0), clcd)
    panel = f"""
\tzq_panel {{
\t\tcompatible = "panel-dpi";
\t\tport {{
\t\t\tzq_panel_in: endpoint {{
\t\t\t\tremote-endpoint = <&zq_clcd_out>;
\t\t\t}};
\t\t}};
\t\tpanel-timing {{
\t\t\tclock-frequency = <25175000>;
\t\t\thactive = <{width}>;
\t\t\tvactive = <{height}>;
\t\t\thfront-porch = <16>;
\t\t\thback-porch = <48>;
\t\t\thsync-len = <96>;
\t\t\tvfront-porch = <10>;
\t\t\tvback-porch = <33>;
\t\t\tvsync-len = <2>;
\t\t}};
\t}};
"""
    dts = dts.rstrip()
    assert dts.endswith("};")
    dts = dts[:-2] + panel + "};\n"
    run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", out, "-"], input=dts)


# ---------------------------------------------------------------- cards

def make_card(tree, out, size_mb=64):
    """A FAT card image with one partition at 1 MiB holding the tree's files,
    written in a fixed order (each directory's files sorted, then its
    subdirectories sorted), so that the walk meets them in that order."""
    with open(out, "wb") as f:
        f.truncate(size_mb << 20)
    run(["sfdisk", "-q", out], input="start=2048, type=c\n")
    run(["mkfs.vfat", "--offset", "2048", "-F", "32", out, str((size_mb - 1) * 1024)])
    target = out + "@@1M"
    if not tree:
        return
    for path, dirs, names in os.walk(tree):
        dirs.sort()
        rel = os.path.relpath(path, tree)
        inside = "::/" if rel == "." else "::/" + rel + "/"
        if rel != ".":
            run(["mmd", "-i", target, inside.rstrip("/")])
        if names:
            run(["mcopy", "-Q", "-i", target] + [os.path.join(path, n) for n in sorted(names)]
                + [inside])


def _fat_cluster_offset(image, cluster):
    """Where a cluster of the card's FAT partition (at 1 MiB) starts in the image."""
    with open(image, "rb") as f:
        f.seek(1 << 20)
        boot = f.read(512)
    sector, per_cluster = struct.unpack_from("<H", boot, 11)[0], boot[13]
    reserved, fats, fat_sectors = struct.unpack_from("<H", boot, 14)[0], boot[16], \
        struct.unpack_from("<I", boot, 36)[0]
    data = reserved + fats * fat_sectors
    return (1 << 20) + (data + (cluster - 2) * per_cluster) * sector


def _first_cluster(image, path):
    """The first cluster of a path on the card (its place on the card's root)."""
    out = run(["mshowfat", "-i", image + "@@1M", "::/" + path]).stdout
    return int(re.search(r"<(\d+)", out).group(1))


def bad_sector_rules(image, path, out):
    """blkdebug's rules that fail every read of the first sector of the card
    file path with EIO, written to out."""
    sector = _fat_cluster_offset(image, _first_cluster(image, path)) // 512
    with open(out, "w") as f:
        f.write(f'[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "{sector}"\n'
                f'once = "off"\n')


def list_twice(image, path):
    """Copies the directory entry of path (an 8.3 name: no long-name entries)
    into a free slot of its parent's first cluster, as a damaged FAT lists
    one name twice."""
    parent, name = os.path.split(path)
    base, _, ext = name.partition(".")
    short = (base.upper().ljust(8) + ext.upper().ljust(3)).encode()
    offset = _fat_cluster_offset(image, _first_cluster(image, parent))
    with open(image, "r+b") as f:
        f.seek(offset)
        cluster = f.read(512)
        entries = [cluster[i:i + 32] for i in range(0, 512, 32)]
        entry = next(e for e in entries if e[:11] == short)
        free = next(i for i, e in enumerate(entries) if e[0] == 0)
        f.seek(offset + free * 32)
        f.write(entry)


def damage_fat(image):
    """Overwrites the first FAT's sectors after its first two entries, so that
    the card mounts but its cluster chains lead nowhere."""
    with open(image, "r+b") as f:
        f.seek(1 << 20)
        boot = f.read(512)
        reserved = struct.unpack_from("<H", boot, 14)[0]
        fat_start = (1 << 20) + reserved * 512
        f.seek(fat_start + 8)
        f.write(bytes([0xF7, 0xFF, 0xFF, 0x0F]) * 2048)  # every cluster marked bad


# ---------------------------------------------------------------- pictures

def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos:pos + width * height * 3]


def write_png(path, width, height, rgb):
    raw = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def read_bmp_rgb(path):
    """Width, height and top-down RGB bytes of an uncompressed 8- or 24-bit BMP."""
    with open(path, "rb") as f:
        data = f.read()
    offset, header = struct.unpack_from("<II", data, 10)
    width, height, _, bpp = struct.unpack_from("<iiHH", data, 18)
    rows = abs(height)
    stride = (width * bpp + 31) // 32 * 4
    palette = data[14 + header:offset]
    out = bytearray()
    for y in range(rows):
        stored = y if height < 0 else rows - 1 - y
        row = data[offset + stored * stride:offset + (stored + 1) * stride]
        for x in range(width):
            if bpp == 8:
                i = row[x] * 4
                out += bytes((palette[i + 2], palette[i + 1], palette[i]))
            else:
                out += bytes((row[3 * x + 2], row[3 * x + 1], row[3 * x]))
    return width, rows, bytes(out)


class ScreenReader:
    """Reads text back from a screenshot by matching cells against the glyphs
    of the font picture, compared at the display's colour precision."""

    def __init__(self, font_bmp, bpp):
        self.keep = (0xF8, 0xFC, 0xF8) if bpp == 16 else (0xFF, 0xFF, 0xFF)
        width, height, rgb = read_bmp_rgb(font_bmp)
        self.cw, self.ch = width // 10, height // 10
        self.glyphs = {}
        for i in range(95):
            x0, y0 = (i % 10) * self.cw, (i // 10) * self.ch
            cell = b"".join(rgb[((y0 + r) * width + x0) * 3:((y0 + r) * width + x0 + self.cw) * 3]
                            for r in range(self.ch))
            self.glyphs.setdefault(self._quantise(cell), chr(32 + i))
        self.blank = self._quantise(bytes(self.cw * self.ch * 3))

    def _quantise(self, cell):
        k = self.keep
        return bytes(b & k[i % 3] for i, b in enumerate(cell))

    def line(self, width, height, rgb, y):
        text = []
        for x in range(0, width - self.cw + 1, self.cw):
            cell = b"".join(rgb[((y + r) * width + x) * 3:((y + r) * width + x + self.cw) * 3]
                            for r in range(self.ch))
            q = self._quantise(cell)
            text.append(" " if q == self.blank else self.glyphs.get(q, "\x01"))
        return "".join(text).rstrip()

    def lines(self, width, height, rgb, y0=0):
        out = [self.line(width, height, rgb, y) for y in range(y0, height - self.ch + 1, self.ch)]
        while out and not out[-1]:
            out.pop()
        return out


# ---------------------------------------------------------------- the device

@dataclasses.dataclass
class Screen:
    """The machine and its screen."""
    machine: str = "virt"  # "virt" or "vexpress"
    width: int = 800
    height: int = 480
    bpp: int = 32
    # A vexpress screen of its own: {"stride": bytes, "format": one of PANEL_FORMATS},
    # and for zq_panel.c's driver "pages": 2, "on_request": True (panel_by_module).
    panel: dict = None
    # The kernel's console left bound to the framebuffer, as on many boards,
    # blanking after 2 s without a key, with a line written to it every 0.2 s.
    console_bound: bool = False


@dataclasses.dataclass
class Cards:
    """The SD cards: FAT images made from directory trees."""
    internal: str = None
    external: str = None  # virt only
    size_mb: int = 64
    premount: object = False  # the internal card mounted before the boot runs ("ro": read-only)
    watch: bool = False  # each card's mount options printed when a program mounts it
    times: bool = False  # when the internal card is mounted and unmounted printed


@dataclasses.dataclass
class Partitions:
    """/system and /data."""
    files: dict = None  # {"/system/x": bytes, File or Link} on the partitions at boot
    small_system: int = None  # KiB left free on /system at boot
    size_mb: int = None  # both partitions' size (default PARTITION_MB)
    options: str = None  # more ext4 mount options (e.g. noauto_da_alloc)
    dirty_bytes: int = None  # the kernel's limit of unwritten file data
    # Both on one disk whose every write and flush QEMU logs (blklogwrites,
    # dm-log-writes format) in Device.write_log; the partitions as they were
    # at boot stay in Device.initial_images.
    write_log: bool = False
    # False: the guest's flushes of its disks do not reach the host's disk,
    # whose flush times on a shared machine vary by whole seconds.
    host_flush: bool = True
    from_device: object = None  # a Device stopped by cut_power: boot from its partitions
    # /data left unmounted: the root file system's RAM, as where its partition failed to mount.
    data_in_memory: bool = False


@dataclasses.dataclass
class Boot:
    """What the boot script runs, and how."""
    programs: list = None  # from /system/bin in turn (default: all three), or "cpbench", "firstframe"
    layout: str = "android"  # or "linux"
    remove: tuple = ()  # guest files deleted before the programs run
    quiet: bool = False  # the programs' standard output to /dev/null, as init gives it
    hold: str = None  # a guest file a process holds open until the first program ends
    report_memory: bool = False  # zqanimation's memory printed after 3 s
    booted: float = None  # seconds after the splash starts when the platform has booted
    trace: bool = False  # the update's phases traced (init.sh); see Device.share_file
    timeout: float = 60  # seconds to wait for the boot script's first line


@dataclasses.dataclass
class Faults:
    """What goes wrong on purpose."""
    damage_internal: bool = False  # the internal card's FAT overwritten
    # virt: a card file (a path on the internal card) whose first sector
    # cannot be read (EIO), as an unreadable sector of an old card.
    bad_card_file: str = None
    # A directory of the internal card (an 8.3 name) its parent lists twice.
    listed_twice: str = None
    throttle_write: int = None  # bytes per second /system can be written
    throttle_card_read: int = None  # bytes per second the cards can be read
    # Partitions ("system", "data") whose block device is made read-only once
    # mounted: a remount read-write then fails, as on a damaged eMMC.
    read_only: tuple = ()
    # True: the programs see the system calls and the uname of Linux 2.6.29;
    # "uname": its uname alone (what they choose by the kernel's version).
    old_kernel: object = False


# The screens the benchmarks compare: the virtio GPU (a shadow the kernel
# copies), the PL111 (video memory scanned), and a panel that shows only what
# it is told of.
BENCH_SCREENS = {
    "virt": Screen(),
    "vexpress": Screen(machine="vexpress"),
    "on_request": Screen(machine="vexpress",
                         panel={"stride": 3200, "format": "x8r8g8b8", "on_request": True}),
}


def _flag(value):
    return "1" if value else None


def _listed(values):
    return ",".join(values) or None


def _given(value):
    return None if value is None else str(value)


# The kernel's command line: each argument from one option, (argument,
# group, option, its value as init.sh reads it, or None to leave it out).
KERNEL_ARGUMENTS = [
    ("zq.layout", "boot", "layout", str),
    ("zq.boot", "boot", "programs", _listed),
    ("zq.rm", "boot", "remove", _listed),
    ("zq.premount", "cards", "premount", lambda v: ("ro" if v == "ro" else "1") if v else None),
    ("zq.memory", "boot", "report_memory", _flag),
    ("zq.dirty", "partitions", "dirty_bytes", _given),
    ("zq.quiet", "boot", "quiet", _flag),
    ("zq.hold", "boot", "hold", _given),
    ("zq.sysopts", "partitions", "options", _given),
    ("zq.nodata", "partitions", "data_in_memory", _flag),
    ("zq.watchcards", "cards", "watch", _flag),
    ("zq.cardtimes", "cards", "times", _flag),
    ("zq.oldkernel", "faults", "old_kernel", lambda v: "uname" if v == "uname" else _flag(v)),
    ("zq.ro", "faults", "read_only", _listed),
    ("zq.trace", "boot", "trace", _flag),
    ("zq.booted", "boot", "booted", _given),
    ("zq.console", "screen", "console_bound", _flag),
    ("consoleblank", "screen", "console_bound", lambda v: "2" if v else None),
    # The kernel's console kept off a panel of zq_panel.c: taking it over pans
    # to the first page.
    ("fbcon", "screen", "panel", lambda v: "map:1" if v is not None and panel_by_module(v) else None),
]


class Device:
    def __init__(self, build="build", screen=None, cards=None, partitions=None, boot=None,
                 faults=None):
        self.screen_options = screen or Screen()
        self.card_options = cards or Cards()
        self.partition_options = partitions or Partitions()
        self.boot_options = boot or Boot()
        self.fault_options = faults or Faults()
        sc, bo = self.screen_options, self.boot_options
        if sc.machine not in MODULES:
            raise DeviceError(f"unknown machine {sc.machine}")
        if bo.layout not in LAYOUTS:
            raise DeviceError(f"unknown layout {bo.layout}")
        if sc.machine == "virt" and sc.bpp != 32:
            raise DeviceError("the virt machine's display has 32 bits per pixel")
        if sc.width % 16:
            raise DeviceError("the width must be a multiple of 16")
        if sc.panel is not None and (sc.machine != "vexpress"
                                     or PANEL_FORMATS[sc.panel["format"]][0] != sc.bpp):
            raise DeviceError("a panel is a vexpress screen of its format's depth")
        if bo.programs is None:
            bo.programs = ["run_zq_device_init", "zqrecovery", "zqanimation"]
        self.build = os.path.abspath(build)
        self.panel = sc.panel
        self.machine, self.width, self.height, self.bpp = sc.machine, sc.width, sc.height, sc.bpp
        self.write_log = self.partition_options.write_log  # the log's path once started
        self.lines = []
        self.cond = threading.Condition()
        self.process = None
        self.work = None
        self.snapshots = {}
        self.reader = ScreenReader(os.path.join(self.build, "arm", "media",
                                                "inconsolata_20px_ffffff.bmp"), sc.bpp)

    def kernel_arguments(self):
        groups = {"screen": self.screen_options, "cards": self.card_options,
                  "partitions": self.partition_options, "boot": self.boot_options,
                  "faults": self.fault_options}
        words = ["console=ttyAMA0", "quiet"]
        for argument, group, option, value in KERNEL_ARGUMENTS:
            written = value(getattr(groups[group], option))
            if written is not None:
                words.append(f"{argument}={written}")
        return " ".join(words)

    # -- start and stop

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.power_off()

    def _partitions(self, stage, front, cache):
        """The ext4 images of /system and /data, with the scenario's files."""
        options = self.partition_options
        trees = {name: os.path.join(self.work, "tree-" + name) for name in PARTITION_MB}
        system_tree(stage, front, cache, self.boot_options.layout, trees["system"])
        os.makedirs(trees["data"])
        for path, content in (options.files or {}).items():
            name, rest = path.strip("/").split("/", 1)
            local = os.path.join(trees[name], rest)
            os.makedirs(os.path.dirname(local), exist_ok=True)
            if isinstance(content, Link):
                os.symlink(content.target, local)
                continue
            entry = content if isinstance(content, File) else File(content)
            with open(local, "wb") as f:
                f.write(entry.content)
            os.chown(local, entry.uid, entry.gid)
            os.chmod(local, entry.mode)
            for name, value in entry.labels.items():
                os.setxattr(local, name, value)
        self.baseline = {name: set(os.listdir(tree)) | {"lost+found"}
                         for name, tree in trees.items()}
        images = {}
        if options.from_device is not None:
            self.baseline = options.from_device.baseline
            for name, image in options.from_device.images.items():
                images[name] = os.path.join(self.work, name + ".img")
                run(["cp", "--sparse=always", image, images[name]])
            return images
        for name, tree in trees.items():
            image = images[name] = os.path.join(self.work, name + ".img")
            size_kb = (options.size_mb or PARTITION_MB[name]) * 1024
            make_partition(tree, image, size_kb)
            if name == "system" and options.small_system is not None:
                # Fill it up to leave about small_system KiB.
                filler = free_bytes(image) - options.small_system * 1024
                if filler > 0:
                    with open(os.path.join(tree, "filler"), "wb") as f:
                        f.truncate(filler)
                    run(["dd", "if=/dev/urandom", f"of={os.path.join(tree, 'filler')}",
                         "bs=64k", f"count={filler // 65536}", "conv=notrunc", "status=none"])
                    self.baseline[name].add("filler")
                    make_partition(tree, image, size_kb)
        return images

    def _initramfs(self, cache, version):
        """The root: the boot script, the staging tree's /ZQ, the modules."""
        stage = os.path.join(self.work, "stage")
        install_staging(self.build, stage)
        front = os.path.join(self.build, "arm", "bin", "zq_shell_front")
        initramfs = os.path.join(self.work, "initramfs.cpio")
        extra = []
        panel = self.panel
        if panel is not None and panel_by_module(panel):
            if panel["format"] not in MODULE_FORMATS:
                raise DeviceError(f"the panel module has no format {panel['format']}")
            extra.append((panel_module(cache, version),
                          f"base={PANEL_MEMORY:#x} width={self.width} height={self.height} "
                          f"stride={panel['stride']} format={panel['format']} "
                          f"pages={panel.get('pages', 1)} "
                          f"on_request={int(panel.get('on_request', False))}"))
        build_initramfs(stage, front, cache, version, self.machine, self.boot_options.layout,
                        initramfs, extra)
        return stage, front, initramfs

    def _card_drives(self):
        """QEMU's arguments for the cards; the virtio disks among them."""
        cards, faults = self.card_options, self.fault_options
        args, disks = [], []
        for n, tree in enumerate([cards.internal, cards.external]):
            if tree is None or (self.machine == "vexpress" and n > 0):
                continue
            image = os.path.join(self.work, f"card{n}.img")
            make_card(tree, image, cards.size_mb)
            if n == 0 and faults.damage_internal:
                damage_fat(image)
            if n == 0 and faults.listed_twice:
                list_twice(image, faults.listed_twice)
            if self.machine == "vexpress":
                args += ["-drive", f"if=sd,id=sd0,file={image},format=raw"]
            else:
                throttle = ""
                if faults.throttle_card_read:
                    throttle = f",throttling.bps-read={faults.throttle_card_read}"
                if n == 0 and faults.bad_card_file:
                    # (QEMU's SD card model passes no read error on; virtio does.)
                    rules = os.path.join(self.work, "card0.rules")
                    bad_sector_rules(image, faults.bad_card_file, rules)
                    image = f"blkdebug:{rules}:{image}"
                disks.append((f"card{n}", image, f"mmcblk{n}", throttle))
        return args, disks

    def _partition_drives(self):
        """QEMU's arguments for /system and /data; the virtio disks among them."""
        options = self.partition_options
        args, disks = [], []
        self.disk_layout = None
        if options.write_log:
            self.initial_images = {}
            for name, image in self.images.items():
                self.initial_images[name] = image + ".initial"
                run(["cp", "--sparse=always", image, self.initial_images[name]])
            disk = os.path.join(self.work, "partitions.img")
            self.disk_layout = make_partitioned_disk(self.images, disk)
            self.write_log = os.path.join(self.work, "partitions.log")
            open(self.write_log, "wb").close()
            flush = "" if options.host_flush else ",cache.no-flush=on"
            args += ["-blockdev", f"driver=file,filename={disk},node-name=disk{flush}",
                     "-blockdev", f"driver=file,filename={self.write_log},node-name=log{flush}",
                     "-blockdev", "driver=blklogwrites,node-name=partitions,file=disk,log=log,"
                     "log-sector-size=512",
                     "-device", "virtio-blk-device,drive=partitions,serial=partitions"]
            return args, disks
        for name, image in self.images.items():
            throttle = ""
            if name == "system" and self.fault_options.throttle_write:
                throttle = f",throttling.bps-write={self.fault_options.throttle_write}"
            disks.append((name, image, name, throttle))
        return args, disks

    def _machine_arguments(self, cache, version):
        if self.machine == "virt":
            return (["-M", "virt", "-cpu", "cortex-a15", "-nic", "none",
                     "-global", "virtio-mmio.force-legacy=false",
                     "-device", f"virtio-gpu-device,xres={self.width},yres={self.height}"]
                    + ["-device", "virtio-keyboard-device"] * 3)
        dtb = os.path.join(self.work, "vexpress.dtb")
        vexpress_dtb(cache, version, self.width, self.height, self.bpp, dtb, self.panel)
        return ["-M", "vexpress-a9", "-dtb", dtb]

    def start(self):
        cache = os.path.join(self.build, "device", "cache")
        version = fetch_platform(cache)
        self.work = tempfile.mkdtemp(prefix="zq-device-")
        stage, front, initramfs = self._initramfs(cache, version)
        os.makedirs(os.path.join(self.work, "share"))
        self.images = self._partitions(stage, front, cache)
        kernel = os.path.join(cache, "root", "boot", "vmlinuz-" + version)
        self.qmp_path = os.path.join(self.work, "qmp.sock")
        cmd = ["qemu-system-arm", "-m", "256", "-kernel", kernel, "-initrd", initramfs,
               "-append", self.kernel_arguments(), "-display", "none", "-monitor", "none",
               "-serial", "stdio", "-no-reboot", "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        card_args, card_disks = self._card_drives()
        partition_args, partition_disks = self._partition_drives()
        cmd += card_args + partition_args + self._machine_arguments(cache, version)
        unsafe = "" if self.partition_options.host_flush else ",cache=unsafe"
        for drive, image, serial, throttle in card_disks + partition_disks:
            cmd += ["-drive", f"if=none,id={drive},file={image},format=raw{throttle}{unsafe}",
                    "-device", f"virtio-blk-device,drive={drive},serial={serial}"]
        share = os.path.join(self.work, "share")
        cmd += ["-fsdev", f"local,id=share,path={share},security_model=none",
                "-device", "virtio-9p-device,fsdev=share,mount_tag=share"]
        env = dict(os.environ, QEMU_AUDIO_DRV="none")
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, env=env)
        threading.Thread(target=self._read_console, daemon=True).start()
        self.qmp = self._connect_qmp()
        self.wait_for_line(r"zq: boot ", timeout=self.boot_options.timeout)

    def _read_console(self):
        buffer = b""
        while True:
            chunk = self.process.stdout.read1(4096)
            if not chunk:
                break
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                with self.cond:
                    self.lines.append(line.decode("utf-8", "replace").rstrip("\r"))
                    self.cond.notify_all()
        with self.cond:
            if buffer:
                self.lines.append(buffer.decode("utf-8", "replace"))
            self.lines.append(None)  # the machine has gone
            self.cond.notify_all()

    def _connect_qmp(self):
        deadline = time.time() + 20
        while True:
            try:
                sock = socket.socket(socket.AF_UNIX)
                sock.connect(self.qmp_path)
                break
            except OSError:
                if time.time() > deadline or self.process.poll() is not None:
                    raise DeviceError("QEMU did not start: " + "\n".join(self.console()))
                time.sleep(0.05)
        self.qmp_file = sock.makefile("rw")
        json.loads(self.qmp_file.readline())
        self._qmp("qmp_capabilities")
        return sock

    def _qmp(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.qmp_file.write(json.dumps(message) + "\n")
        self.qmp_file.flush()
        while True:
            reply = json.loads(self.qmp_file.readline())
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise DeviceError(f"{command}: {reply['error']}")

    def power_off(self):
        self.cut_power()
        if self.work:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    def cut_power(self):
        """Stops the machine at once, as a pulled battery would: no shutdown,
        nothing flushed. The partition images stay to be read back."""
        if self.process is not None and self.process.poll() is None:
            try:
                self._qmp("quit")
            except (OSError, ValueError, DeviceError):
                pass
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            if self.disk_layout is not None:
                split_disk(os.path.join(self.work, "partitions.img"), self.disk_layout,
                           self.images)
        self.snapshots = {}

    # -- the console

    def console(self):
        with self.cond:
            return [line for line in self.lines if line is not None]

    def wait_for_line(self, pattern, timeout=30, start=0):
        """Waits for a console line matching the regular expression, from line
        number start on; returns the match."""
        regex = re.compile(pattern)
        deadline = time.time() + timeout
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    line = self.lines[i]
                    if line is None:
                        raise DeviceError(f"the machine stopped before /{pattern}/")
                    m = regex.search(line)
                    if m:
                        return m
                    i += 1
                left = deadline - time.time()
                if left <= 0:
                    raise DeviceError(f"no /{pattern}/ in {timeout} s:\n" + "\n".join(
                        l for l in self.lines[-30:] if l is not None))
                self.cond.wait(left)

    def mark(self):
        """The console's line count, to wait for lines after it."""
        with self.cond:
            return len(self.lines)

    def wait_for_exit(self, timeout=30):
        """Waits for QEMU to end (a reboot ends it); returns its status."""
        return self.process.wait(timeout)

    # -- keys

    def press(self, key, hold=0.05):
        """Presses and releases a key: a code (50, 58, 42) or a QEMU qcode."""
        qcode = QCODES.get(key, key)
        self.snapshots = {}
        for down in (True, False):
            try:
                self._qmp("input-send-event", events=[
                    {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": qcode}}}])
            except (OSError, DeviceError) as error:
                # The press made the machine restart (a reboot item): QEMU
                # stops the guest, then closes the socket as it exits.
                if isinstance(error, DeviceError) and "VM not running" not in str(error):
                    raise
                try:
                    self.process.wait(10)
                except subprocess.TimeoutExpired:
                    raise DeviceError("QMP connection lost while the machine runs") from None
                return
            if down:
                time.sleep(hold)

    def pull_card(self):
        """Pulls the SD card of the vexpress machine out, as a user might mid-update."""
        self._qmp("eject", device="sd0", force=True)

    # -- the screen

    def screen(self, page=None):
        """Width, height and RGB bytes of the display now (a panel's: read
        from the machine's memory, row by row, in the panel's format); with
        page k, of that page of a panel's video memory, shown or not."""
        if self.panel is not None:
            path = os.path.join(self.work, "panel.raw")
            stride = self.panel["stride"]
            address = (panel_picture_address(self.panel, self.height) if page is None
                       else PANEL_MEMORY + page * panel_page_bytes(self.panel, self.height))
            self._qmp("pmemsave", val=address, size=stride * self.height, filename=path)
            with open(path, "rb") as f:
                raw = f.read()
            bpp, channels = PANEL_FORMATS[self.panel["format"]]
            if bpp == 16:
                # Pillow widens each channel to 8 bits; the display keeps its top bits, low bits clear.
                mode, bits = channels
                image = Image.frombuffer("RGB", (self.width, self.height), raw, "raw", mode,
                                         stride, 1)
                table = [v & (0xFF << (8 - n)) & 0xFF for n in bits for v in range(256)]
                return self.width, self.height, image.point(table).tobytes()
            size = bpp // 8
            rgb = bytearray(self.width * self.height * 3)
            for y in range(self.height):
                row = raw[y * stride:y * stride + self.width * size]
                out = memoryview(rgb)[y * self.width * 3:(y + 1) * self.width * 3]
                for channel, at in enumerate(channels):
                    out[channel::3] = row[at::size]
            return self.width, self.height, bytes(rgb)
        path = os.path.join(self.work, "screen.ppm")
        self._qmp("screendump", filename=path)
        return read_ppm(path)

    def screenshot(self, png):
        width, height, rgb = self.screen()
        write_png(png, width, height, rgb)

    def screen_text(self, y0=0):
        width, height, rgb = self.screen()
        return self.reader.lines(width, height, rgb, y0)

    def wait_for_screen(self, want, timeout=20, y0=0):
        """Waits until the screen's text lines equal want; returns them."""
        seen = []

        def shows():
            seen[:] = [self.screen_text(y0)]
            return seen[0] == want
        wait_until(shows, timeout)
        return seen[0]

    # -- files

    def check_partition(self, name):
        """Replays the journal of a copy of /system's or /data's image and
        checks it: (e2fsck's status, its output); 0 is a clean file system."""
        _, status, output = replay_and_check(self.images[name])
        return status, output

    def _snapshot(self, name):
        """The files of a partition as the guest left them on storage: the
        journal replayed on a copy, the tree dumped with debugfs. Taken again
        after each key press."""
        if name not in self.snapshots:
            copy, _, _ = replay_and_check(self.images[name])
            out = os.path.join(self.work, f"snapshot-{name}-{time.monotonic_ns()}")
            os.makedirs(out)
            run(["debugfs", "-R", f"rdump / {out}", copy])
            os.remove(copy)
            self.snapshots[name] = out
        return self.snapshots[name]

    def share_file(self, name):
        """Text the guest left in the shared folder (/share)."""
        with open(os.path.join(self.work, "share", name), errors="replace") as f:
            return f.read()

    def read_file(self, path):
        """Bytes of a file under /system or /data as stored on the partition,
        or the shell's record ("shell.log")."""
        if path == "shell.log":
            local = os.path.join(self.work, "share", "shell.log")
        elif path.startswith("/system/") or path.startswith("/data/"):
            name, rest = path.strip("/").split("/", 1)
            local = os.path.join(self._snapshot(name), rest)
        else:
            raise DeviceError(f"{path} is not read back")
        with open(local, "rb") as f:
            return f.read()

    def file_status(self, path):
        """(type, mode, uid, gid) of a path under /system or /data as stored,
        without following a link: type is "regular", "symlink", "directory"...;
        None when there is no such path."""
        name, rest = path.strip("/").split("/", 1)
        copy, _, _ = replay_and_check(self.images[name])
        try:
            out = subprocess.run(["debugfs", "-R", f"stat /{rest}", copy], capture_output=True,
                                 text=True).stdout
        finally:
            os.remove(copy)
        m = re.search(r"Type: (\S+)\s+Mode:\s+(\d+)", out)
        if not m:
            return None
        uid = int(re.search(r"User:\s+(\d+)", out).group(1))
        gid = int(re.search(r"Group:\s+(\d+)", out).group(1))
        return m.group(1), int(m.group(2), 8), uid, gid

    def guest_dir(self, name):
        """A host copy of the guest's /system or /data as stored."""
        return self._snapshot(name)

    def new_entries(self, name):
        """The top-level names under /system or /data that were not there at boot."""
        return sorted(set(os.listdir(self._snapshot(name))) - self.baseline[name])

    def shell_record(self):
        """(shell path, command) for every command the programs handed to the shell."""
        try:
            lines = self.read_file("shell.log").decode().splitlines()
        except FileNotFoundError:
            return []
        return [tuple(line.split("\t", 1)) for line in lines]

    def shell_commands(self):
        return [command for _, command in self.shell_record()]
