"""Every state a power cut can leave during one long update: the device's
/system and /data are two partitions of one disk whose writes and flushes
QEMU logs; the log is replayed on the host to every flush, and to states that
lose some of the writes since the flush before. Each state must pass e2fsck
and hold the old tree, the new one, or a sealed commit record whose
completion gives the new one; what the screen said before the cut must hold;
and booting some of the states, the next start must leave the tree old or new.
With /data left in RAM, every state has lost what the update put there, and
/system keeps the file-by-file promise."""
import os
import subprocess
import types

import write_log
from conftest import BELOW_HEADER, COMMIT_RECORD, COMMIT_RECORD_NEW, PROMPT, Cards, Faults, \
    Partitions, Screen, device, enter_menu, is_temporary, make_tree, recovery, select
from zqdevice import File, Link, fact, wait_until

LABEL = b"u:object_r:system_file:s0\0"
ROOTS = ("/system/zt", "/data/zt")
COPIED = " copied "
BOOTED_STATES = 5
DATA_IN_MEMORY = fact("DATA_IN_MEMORY").rstrip("\n")
COUNTDOWN = fact("COUNTDOWN_FORMAT").split("%")[0]
FINISHED = fact("RESUME_FINISHED_FORMAT").split("%")[0]
REMOVED = fact("RESUME_REMOVED").strip()
NOT_FINISHED = fact("RESUME_NOT_FINISHED").strip()
# A link to / that any app could leave in its data directory.
LOOP = "/data/zt/loop"


def blob(seed, size):
    return bytes((seed * 7 + i * 13) & 0xFF for i in range(251)) * (size // 251) + b"end"


def scenario(in_place, data_lost=False):
    """Card files, the partitions' files at boot, and the old and new trees
    ({device path: bytes, or ("link", target)}). With in_place, /system has
    no room for m2 beside the old one, which it then overwrites. With
    data_lost, /data is in RAM: none of its files is on a partition, before
    or after."""
    card, before = {}, {}
    for i in range(10):
        card[f"system/zt/lib/l{i}.so"] = blob(i, 3000 + 700 * i)
        if i % 2:
            before[f"/system/zt/lib/l{i}.so"] = blob(100 + i, 5000)
    for i in range(3):
        size = 400_000 if not in_place else 500_000 if i == 2 else 100_000
        card[f"system/zt/media/m{i}.bin"] = blob(50 + i, size)
    before["/system/zt/media/m2.bin"] = blob(150, 600_000 if in_place else 120_000)
    card["system/zt/new/sub/n.txt"] = b"in a new directory\n"
    card["system/zt/etc/label.conf"] = b"new labelled\n"
    before["/system/zt/etc/label.conf"] = File(b"old labelled\n",
                                               labels={"security.selinux": LABEL})
    before["/system/zt/bin/target"] = b"the link's target\n"
    before["/system/zt/bin/link"] = Link("target")
    card["system/zt/bin/link"] = b"a file where a link was\n"
    card["system/zt/lib/held.so"] = b"new held\n"
    before["/system/zt/lib/held.so"] = b"old held, open from before the boot\n"
    for i in range(5):
        card[f"data/zt/d{i}.txt"] = b"data %d\n" % i
    card["data/zt/old.txt"] = b"new data\n"
    before["/data/zt/old.txt"] = b"old data\n"
    old = {path: ("link", v.target) if isinstance(v, Link) else v.content if isinstance(v, File)
           else v for path, v in before.items()}
    new = dict(old, **{"/" + path: content for path, content in card.items()})
    if data_lost:
        before, old, new = ({p: v for p, v in tree.items() if not p.startswith("/data/")}
                            for tree in (before, old, new))
    return {"zq/update00/" + path: content for path, content in card.items()}, before, old, new


def judge(found, old, new, all_or_nothing):
    """(consistent, what the state is: "old", "new", "sealed" or "mixed", the
    file named as written in place, what is visible once a sealed record is
    completed) of one replayed state."""
    trees = {name: tree for name, (_, _, tree) in found.items()}
    clean = all(status == 0 for status, _, _ in found.values())
    record = write_log.read_record(trees, COMMIT_RECORD)
    marker = write_log.read_record(trees, COMMIT_RECORD_NEW)
    if record is not None and record.sealed:
        for temporary, destination in record.staged:
            if os.path.lexists(write_log.host_path(trees, temporary)):
                os.replace(write_log.host_path(trees, temporary),
                           write_log.host_path(trees, destination))
    seen, temps = write_log.visible(trees, ROOTS, is_temporary)
    in_place = marker.in_place if marker is not None else None
    kind = "sealed" if record is not None and record.sealed else \
        "old" if seen == old else "new" if seen == new else "mixed"
    if all_or_nothing:
        ok = kind in ("old", "new") or (kind == "sealed" and seen == new and not temps)
    else:
        ok = set(seen) <= set(old) | set(new) and all(
            seen.get(p) in (old.get(p), new.get(p)) for p in set(old) | set(new) if p != in_place)
    return clean and ok, kind, in_place, seen


def watch_update(dev):
    """Selects the update and reads the screen until the prompt: [(log
    entries written by then, lines)] per reading."""
    select(dev, 1)
    readings = []
    while True:
        lines = dev.screen_text(0) + dev.screen_text(BELOW_HEADER)
        readings.append((write_log.count_entries(dev.write_log), lines))
        if PROMPT in lines:
            return readings


def claims(readings, replay):
    """[(first log entry after the flush every state must hold, files the
    screen called copied, done. drawn with no failure)] per reading: a state
    holding that flush must show what the screen said by then."""
    flushes = [i for i, e in enumerate(replay.entries) if e.flags & write_log.FLUSH]
    out = []
    for count, lines in readings:
        before = [f for f in flushes if f < count]
        copied = {line.split(COPIED)[0] for line in lines if COPIED in line}
        clean = "done." in lines and not any(" failed. " in line for line in lines)
        out.append((before[-1] + 1 if before else 0, copied, clean))
    return out


def keep_state(images, work, label):
    """A copy of a state's partitions, to boot once the replay is done."""
    kept = {}
    for name, image in images.items():
        kept[name] = os.path.join(work, f"state{label}-{name}.img")
        subprocess.run(["cp", "--sparse=always", image, kept[name]], check=True)
    return kept


def boot_state(images, baseline, work, label, read_only=()):
    """Boots the device from a state's partitions up to the countdown; returns
    what the next start printed, the lines it left under the countdown's line,
    what it left visible and temporary, whether a commit record is left, and
    a copy of the partitions as it left them."""
    holder = types.SimpleNamespace(images=images, baseline=baseline)
    with device(boot=recovery(), partitions=Partitions(from_device=holder),
                faults=Faults(read_only=read_only)) as dev:
        dev.wait_for_line(r"worker_thread_function\(\) \d+ started")
        # The countdown's line is drawn after the start's lines: once it shows, so do they.
        assert wait_until(lambda: dev.screen_text()[:1] and dev.screen_text()[0].startswith(COUNTDOWN),
                   20)
        shown = [line for line in dev.screen_text()[1:] if line]
        said = dev.console()
        dev.cut_power()
        trees = {name: dev.guest_dir(name) for name in ("system", "data")}
        record_left = os.path.exists(write_log.host_path(trees, COMMIT_RECORD))
        left = keep_state(dev.images, work, label)
        return (said, shown, *write_log.visible(trees, ROOTS, is_temporary), record_left, left)


def check_next_start_lines(said, shown):
    """What the next start printed of an interrupted update stays on the screen."""
    assert all(line in said for line in shown), (shown, said)
    for text in (FINISHED, REMOVED, NOT_FINISHED):
        assert any(line.startswith(text) for line in said) == \
            any(line.startswith(text) for line in shown), (text, shown)


def run_road(tmp_path, in_place, data_lost=False):
    card_files, before, old, new = scenario(in_place, data_lost)
    card = make_tree(tmp_path / "card", card_files)
    # The line that says /data is in memory needs a wide screen to stand on one line.
    with device(boot=recovery(hold="/system/zt/lib/held.so"), cards=Cards(internal=card),
                screen=Screen(width=1920, height=1080) if data_lost else Screen(),
                partitions=Partitions(files=before, write_log=True, data_in_memory=data_lost,
                                      small_system=450 if in_place else None)) as dev:
        enter_menu(dev)
        readings = watch_update(dev)
        dev.cut_power()
        announced = any("not enough room for an all-or-nothing update: installing file by file"
                        in lines for _, lines in readings)
        assert announced == in_place, readings[-1]
        assert any(DATA_IN_MEMORY in lines for _, lines in readings) == data_lost, readings[-1]
        file_by_file = in_place or data_lost
        assert any("/system/zt/media/m2.bin written in place: not enough room for two." in lines
                   for _, lines in readings) == in_place, readings[-1]
        replay = write_log.Replay(dev.write_log, dev.initial_images, dev.disk_layout,
                                  str(tmp_path / "replay"))
        checked, consistent, failures, to_boot = 0, 0, [], []
        for base, images in replay.states():
            found = write_log.read_state(images, str(tmp_path / "replay"))
            ok, kind, damaged, seen = judge(found, old, new, not file_by_file)
            for first, copied, done in claims(readings, replay):
                # "copied" holds on the file-by-file road, but for what went to RAM; "done."
                # on both.
                if base >= first:
                    ok = ok and (not file_by_file or all(
                        seen.get(p) == new[p] for p in copied
                        if p != damaged and not (data_lost and p.startswith("/data/"))))
                    ok = ok and (not done or kind == "new")
            checked += 1
            consistent += ok
            if not ok:
                odd = [p for p in set(old) | set(new) | set(seen) if seen.get(p) != new.get(p)]
                failures.append((base, kind, odd, [f[1][-300:] for f in found.values() if f[0]]))
            # The first state of each kind, and each tenth, to boot.
            if ok and not file_by_file and (kind not in {k for (k, _), _ in to_boot} or
                                        checked % 10 == 0):
                trees = {name: tree for name, (_, _, tree) in found.items()}
                marked = any(os.path.exists(write_log.host_path(trees, path))
                             for path in (COMMIT_RECORD, COMMIT_RECORD_NEW))
                to_boot.append(((kind, marked), keep_state(images, str(tmp_path), checked)))
        print(f"crash states: {checked} checked, {consistent} consistent")
        assert consistent == checked, failures[:5]
        assert checked > 20
        if file_by_file:
            # Each file is flushed before the next is begun: a flush per file copied.
            flushes = sum(1 for e in replay.entries if e.flags & write_log.FLUSH)
            copied = {line for _, lines in readings for line in lines if COPIED in line}
            assert flushes >= len(copied), (flushes, len(copied))
        baseline = dev.baseline
    return to_boot, baseline, old, new


def test_every_crash_state_of_an_all_or_nothing_update_is_old_new_or_completed(tmp_path):
    """Booted: a state cut before the commit point with a link to / beside
    what it staged (the next start ends as usual); a committed state first
    with /system's device read-only (it stays pending, its record kept), then
    writable (the whole tree new)."""
    to_boot, baseline, old, new = run_road(tmp_path, in_place=False)
    assert {"old", "sealed", "new"} <= {kind for (kind, _), _ in to_boot}, to_boot
    assert len(to_boot) >= BOOTED_STATES
    pending = 0
    for n, ((kind, marked), images) in enumerate(to_boot):
        finished = False
        link = kind == "old" and marked
        if link:
            # The journal first, which would otherwise replay the old directory over the link.
            subprocess.run(["e2fsck", "-E", "journal_only", "-y", images["data"]],
                           capture_output=True)
            subprocess.run(["debugfs", "-w", "-R", f"symlink {LOOP[len('/data'):]} /",
                            images["data"]], check=True, capture_output=True)
        if kind == "sealed":
            said, shown, seen, temps, record_left, images = boot_state(
                images, baseline, str(tmp_path), f"{n}-ro", read_only=("system",))
            check_next_start_lines(said, shown)
            # Finished there only where nothing was left to rename on /system.
            finished = any(line.startswith(FINISHED) for line in said)
            assert finished != record_left, said
            pending += record_left
        said, shown, seen, temps, record_left, _ = boot_state(images, baseline, str(tmp_path),
                                                              f"{n}-again")
        check_next_start_lines(said, shown)
        if link:
            assert seen.pop(LOOP) == ("link", "/"), said
        assert temps == [] and not record_left, (kind, temps)
        assert seen == (old if kind == "old" else new), (kind, said)
        # The next start says what it did with an update it found under way.
        assert any(line.startswith(FINISHED) for line in said) == (kind == "sealed" and
                                                                    not finished), said
        assert (REMOVED in said) == (marked and kind != "sealed"), said
    assert pending > 0, "a committed state stayed pending while /system could not be written"


def test_every_crash_state_of_a_file_by_file_update_keeps_each_file_old_or_new(tmp_path):
    run_road(tmp_path, in_place=True)


def test_every_crash_state_of_an_update_onto_data_in_memory_loses_data_and_keeps_each_file(
        tmp_path):
    run_road(tmp_path, in_place=False, data_lost=True)
