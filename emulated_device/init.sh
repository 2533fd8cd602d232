#!/sbin/busybox sh
# /init of the emulated device: brings up the kernel's devices the way the
# device's boot does, mounts /system and /data, then runs the programs named
# by zq.boot= on the kernel command line (default:
# run_zq_device_init,zqrecovery,zqanimation) from /system/bin, as Android's
# init starts its services.
export PATH=/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/graphics /dev/block/by-name /dev/input

while read -r module params; do
    insmod "/lib/modules/$module" $params 2>/dev/null
done < /etc/modules

arg() {
    for word in $(cat /proc/cmdline); do
        case "$word" in "$1="*) echo "${word#*=}"; return ;; esac
    done
}

# The shell's record comes back through 9p.
mount -t 9p -o trans=virtio,version=9p2000.L share /share 2>/dev/null

n=0
while [ ! -e /dev/fb0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
ln -s /dev/fb0 /dev/graphics/fb0
# The kernel's text console would draw its cursor into the framebuffer; with
# zq.console=1 it stays, and a numbered line is written to it every 0.2 s.
if [ "$(arg zq.console)" = 1 ]; then
    (n=0
     while :; do
         n=$((n + 1))
         echo "console line $n" > /dev/tty0
         echo "zq: console line $n"
         sleep 0.2
     done) &
else
    for c in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$c" 2>/dev/null; done
fi

# Disks by their serial: the SD cards (mmcblk0, mmcblk1, first partition) and
# the system and data partitions; or the vexpress MMC card.
n=0
while [ $n -lt 30 ]; do
    ls /sys/block 2>/dev/null | grep -q -E 'mmcblk|vd' && break
    sleep 0.1; n=$((n + 1))
done
[ -e /dev/mmcblk0p1 ] && ln -s /dev/mmcblk0p1 /dev/block/mmcblk0p1
for b in /sys/block/vd*; do
    [ -e "$b/serial" ] || continue
    serial=$(cat "$b/serial")
    case "$serial" in
        mmcblk*) ln -s "/dev/${b##*/}1" "/dev/block/${serial}p1" ;;
        # One disk holding both, as the partitions of one eMMC.
        partitions) ln -s "/dev/${b##*/}1" /dev/block/by-name/system
                    ln -s "/dev/${b##*/}2" /dev/block/by-name/data ;;
        *) ln -s "/dev/${b##*/}" "/dev/block/by-name/$serial" ;;
    esac
done
# Android mounts /system read-only; the plain Linux layout read-write.
# zq.sysopts= adds mount options (e.g. noauto_da_alloc).
system_mode=ro
[ "$(arg zq.layout)" = linux ] && system_mode=rw
sysopts=$(arg zq.sysopts)
mount -t ext4 -o "$system_mode${sysopts:+,$sysopts}" /dev/block/by-name/system /system ||
    echo "zq: /system not mounted"
# zq.nodata=1: /data stays on the root file system, in RAM.
if [ -z "$(arg zq.nodata)" ]; then
    mount -t ext4 -o "rw${sysopts:+,$sysopts}" /dev/block/by-name/data /data ||
        echo "zq: /data not mounted"
fi
# zq.ro=system,data: those block devices read-only from now on.
for name in $(arg zq.ro | tr ',' ' '); do
    /sbin/busybox blockdev --setro "$(/sbin/busybox readlink -f "/dev/block/by-name/$name")" &&
        echo "zq: $name read-only"
done

if [ "$(arg zq.layout)" = linux ]; then
    export PATH=/sbin:/bin:/system/bin
else
    export PATH=/sbin:/system/sbin:/system/bin:/system/xbin
fi

# Scenario set-up from the command line: the limit of unwritten file data,
# files removed, the card mounted already.
dirty=$(arg zq.dirty)
if [ -n "$dirty" ]; then
    echo "$dirty" > /proc/sys/vm/dirty_bytes
    echo $((dirty / 2)) > /proc/sys/vm/dirty_background_bytes
fi
for path in $(arg zq.rm | tr ',' ' '); do rm -f "$path"; done
case "$(arg zq.premount)" in
    1) mount -t vfat /dev/block/mmcblk0p1 /sdcard && echo "zq: premounted /sdcard" ;;
    ro) mount -t vfat -o ro /dev/block/mmcblk0p1 /sdcard && echo "zq: premounted /sdcard" ;;
esac

# A process that holds a file open from before the boot's programs run to
# after the first of them has ended, then prints a checksum of what it reads.
hold=$(arg zq.hold)
if [ -n "$hold" ]; then
    (exec 3< "$hold"
     while [ ! -e /tmp/zq-release ]; do sleep 0.1; done
     echo "zq: held $hold $(/sbin/busybox md5sum <&3)") &
fi

# zq.trace=1: the kernel traces the system calls that mark an update's
# phases (mounts, unlinks, the flushes, renames, the screen's pans) and, where
# the screen is a shadow the kernel copies (virtio-gpu), each copy and each
# write fault that marks a page for copying, with its duration; the trace goes to /share/trace-N.txt after the card's Nth unmount.
trace=/sys/kernel/tracing
if [ "$(arg zq.trace)" = 1 ]; then
    mount -t tracefs nodev $trace
    echo 16384 > $trace/buffer_size_kb
    for call in mount umount unlink unlinkat sync syncfs fsync rename renameat renameat2 ioctl; do
        for side in enter exit; do
            event=$trace/events/syscalls/sys_${side}_$call
            [ -d $event ] && echo 1 > $event/enable
        done
    done
    # Only that function is hooked: tracing every call of the kernel's would
    # slow the update tenfold.
    if grep -q '^fb_deferred_io_work' $trace/available_filter_functions; then
        echo 'fb_deferred_io_*' > $trace/set_ftrace_filter
        echo 'fb_deferred_io_*' > $trace/set_graph_function
        echo 1 > $trace/max_graph_depth
        echo function_graph > $trace/current_tracer
        echo 1 > $trace/options/funcgraph-abstime
        echo 1 > $trace/options/funcgraph-proc
    fi
fi

# When the internal card is mounted and unmounted (a program's update runs
# between the two): its zq folder appears under /sdcard. One stat a poll, so
# that the watch takes little of the machine from what it times.
if [ "$(arg zq.cardtimes)" = 1 ]; then
    (mounted=0 unmounts=0
     while true; do
         now=0
         [ -d /sdcard/zq ] && now=1
         if [ "$now" != "$mounted" ]; then
             read -r up _ < /proc/uptime
             [ "$now" = 1 ] && echo "zq: card mounted $up" || echo "zq: card unmounted $up"
             mounted=$now
             if [ "$now" = 0 ] && [ "$(arg zq.trace)" = 1 ]; then
                 unmounts=$((unmounts + 1))
                 cat $trace/trace > "/share/trace-$unmounts.txt"
                 echo > $trace/trace
                 echo "zq: trace $unmounts"
             fi
         fi
         sleep 0.01
     done) &
fi

# The mount options of each card as soon as a program mounts it.
if [ "$(arg zq.watchcards)" = 1 ]; then
    (seen=""
     while true; do
         for m in /sdcard /sdcard/sd; do
             case " $seen " in *" $m "*) continue ;; esac
             opts=$(grep " $m vfat " /proc/mounts | cut -d ' ' -f 4)
             [ -n "$opts" ] && echo "zq: card $m $opts" && seen="$seen $m"
         done
         sleep 0.02
     done) &
fi

echo "zq: input: $(ls /dev/input | tr '\n' ' ')"
echo "zq: cards: $(ls /dev/block | tr '\n' ' ')"
# zq.oldkernel=1: every program with the system calls and the uname of Linux
# 2.6.29; zq.oldkernel=uname: with its uname alone.
case "$(arg zq.oldkernel)" in
    1) launch=/sbin/zq_old_kernel ;;
    uname) launch="/sbin/zq_old_kernel --uname-only" ;;
    *) launch="" ;;
esac
boot=$(arg zq.boot)
[ -n "$boot" ] || boot=run_zq_device_init,zqrecovery,zqanimation
echo "zq: boot $boot"
# As Android's init starts its services: one after another, umask 0.
umask 0
for program in $(echo "$boot" | tr ',' ' '); do
    case "$program" in
        cpbench)
            # The references the update is measured against, each from cold
            # caches and flushed, onto /data: busybox cp -a of each update
            # tree on the card (an in-kernel copy, sendfile), and busybox dd
            # of its files through a 128 KiB buffer (the update's own road).
            mount -t vfat -o nosuid,nodev /dev/block/mmcblk0p1 /sdcard
            for tree in $(ls /sdcard/zq); do
                echo 3 > /proc/sys/vm/drop_caches
                start=$(cut -d ' ' -f 1 /proc/uptime)
                cp -a "/sdcard/zq/$tree" "/data/cp-$tree" && sync
                end=$(cut -d ' ' -f 1 /proc/uptime)
                echo "zq: cp $tree $start $end"
                rm -rf "/data/cp-$tree" && sync
                echo 3 > /proc/sys/vm/drop_caches
                start=$(cut -d ' ' -f 1 /proc/uptime)
                (cd "/sdcard/zq/$tree" && find . -type d | while read -r d; do
                    mkdir -p "/data/dd-$tree/$d"; done
                 find . -type f | while read -r f; do
                    dd if="$f" of="/data/dd-$tree/$f" bs=131072 2>/dev/null; done) && sync
                end=$(cut -d ' ' -f 1 /proc/uptime)
                echo "zq: dd $tree $start $end"
                rm -rf "/data/dd-$tree" && sync
                # And cp -a followed by sha256sum of the copies: the peer of a
                # sealed tree's update, which hashes what it wrote.
                echo 3 > /proc/sys/vm/drop_caches
                start=$(cut -d ' ' -f 1 /proc/uptime)
                cp -a "/sdcard/zq/$tree" "/data/cs-$tree" &&
                    find "/data/cs-$tree" -type f | xargs sha256sum > /dev/null && sync
                end=$(cut -d ' ' -f 1 /proc/uptime)
                echo "zq: cpsum $tree $start $end"
                rm -rf "/data/cs-$tree" && sync
            done
            umount /sdcard
            echo 3 > /proc/sys/vm/drop_caches
            ;;
        firstframe)
            # Seconds from starting each display program to the line it prints
            # just before its first frame (zqrecovery's worker thread, the
            # first countdown; zqanimation's UI thread, the first picture),
            # with cold caches as at boot; each program in /system/bin whose
            # name starts with zqrecovery or zqanimation, in turn, nine times.
            mkfifo /tmp/first-frame
            for round in 1 2 3 4 5 6 7 8 9; do
                for path in /system/bin/zqrecovery* /system/bin/zqanimation*; do
                    case "$path" in */zqrecovery*) line=worker_thread_function ;;
                                    *) line=ui_thread_function ;; esac
                    echo 3 > /proc/sys/vm/drop_caches
                    start=$(cut -d ' ' -f 1 /proc/uptime)
                    "$path" > /tmp/first-frame &
                    pid=$!
                    while read -r text; do
                        case "$text" in "$line() "*) break ;; esac
                    done < /tmp/first-frame
                    end=$(cut -d ' ' -f 1 /proc/uptime)
                    kill "$pid"
                    wait "$pid"
                    echo "zq: first frame ${path##*/} $start $end"
                done
            done
            echo "zq: first frames done"
            ;;
        zqanimation)
            $launch /system/bin/zqanimation &
            splash=$!
            if [ "$(arg zq.memory)" = 1 ]; then
                # Its memory once the animation runs.
                (sleep 3; grep -E '^(VmHWM|VmRSS|RssAnon|RssFile|RssShmem):' "/proc/$splash/status" |
                    while read -r key value unit; do echo "zq: memory $key $value"; done
                 echo "zq: memory listed") &
            fi
            # The platform's own services start with the splash; this stand-in
            # for them says it has booted after zq.booted= seconds (never
            # without it), and the splash is stopped as init stops a service.
            booted=$(arg zq.booted)
            if [ -n "$booted" ]; then
                (sleep "$booted"
                 echo "zq: boot completed"
                 kill -KILL "$splash"
                 while [ -e "/proc/$splash" ] && ! grep -q '^State:.Z' "/proc/$splash/status" 2>/dev/null; do
                     sleep 0.05
                 done
                 echo "zq: zqanimation stopped") &
            fi
            ;;
        *)
            if [ "$(arg zq.quiet)" = 1 ]; then
                # As init starts services: standard output goes nowhere.
                $launch "/system/bin/$program" > /dev/null
            else
                $launch "/system/bin/$program"
            fi
            echo "zq: $program exited $?"
            echo "zq: mounts: $(grep -o ' /sdcard[^ ]*' /proc/mounts | tr '\n' ' ')"
            echo "zq: system $(grep ' /system ' /proc/mounts | cut -d ' ' -f 4 | cut -d , -f 1)"
            : > /tmp/zq-release
            ;;
    esac
done
echo "zq: boot done"
while true; do sleep 3600; done
