#!/bin/busybox sh
# /init of the emulated device: brings up the kernel's devices the way the
# device's boot does, then runs the programs named by zq.boot= on the kernel
# command line (default: run_zq_device_init,zqrecovery,zqanimation).
export PATH=/sbin:/bin
busybox mount -t proc proc /proc
busybox mount -t sysfs sys /sys
busybox mount -t devtmpfs dev /dev
mkdir -p /dev/graphics /dev/block /dev/input /sdcard /system /data /share /run

while read -r module; do
    insmod "/lib/modules/$module" 2>/dev/null
done < /etc/modules

arg() {
    for word in $(cat /proc/cmdline); do
        case "$word" in "$1="*) echo "${word#*=}"; return ;; esac
    done
}

# Results come back through 9p: the shell's record, /system and /data.
mount -t 9p -o trans=virtio,version=9p2000.L share /share 2>/dev/null
small=$(arg zq.smallsystem)
if [ -n "$small" ]; then
    # A small /system, to fill up: its files are listed on the console at the end.
    mount -t tmpfs -o "size=$small" tmpfs /system
else
    mount -t 9p -o trans=virtio,version=9p2000.L system /system 2>/dev/null
fi
mount -t 9p -o trans=virtio,version=9p2000.L data /data 2>/dev/null

n=0
while [ ! -e /dev/fb0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
ln -s /dev/fb0 /dev/graphics/fb0
# The kernel's text console would draw its cursor into the framebuffer.
for c in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$c" 2>/dev/null; done

# SD cards: the MMC card, or virtio disks named by their serial (mmcblk0, mmcblk1).
n=0
while [ $n -lt 30 ]; do
    ls /sys/block 2>/dev/null | grep -q -E 'mmcblk|vd' && break
    sleep 0.1; n=$((n + 1))
done
[ -e /dev/mmcblk0p1 ] && ln -s /dev/mmcblk0p1 /dev/block/mmcblk0p1
for b in /sys/block/vd*; do
    [ -e "$b/serial" ] || continue
    serial=$(cat "$b/serial")
    ln -s "/dev/${b##*/}1" "/dev/block/${serial}p1"
done

# Scenario set-up from the command line: files removed, the card mounted already.
for path in $(arg zq.rm | tr ',' ' '); do rm -f "$path"; done
if [ "$(arg zq.premount)" = 1 ]; then
    mount -t vfat /dev/block/mmcblk0p1 /sdcard && echo "zq: premounted /sdcard"
fi

echo "zq: input: $(ls /dev/input | tr '\n' ' ')"
echo "zq: cards: $(ls /dev/block | tr '\n' ' ')"
boot=$(arg zq.boot)
[ -n "$boot" ] || boot=run_zq_device_init,zqrecovery,zqanimation
echo "zq: boot $boot"
for program in $(echo "$boot" | tr ',' ' '); do
    case "$program" in
        zqanimation)
            /sbin/zqanimation &
            if [ "$(arg zq.memory)" = 1 ]; then
                # Its memory once the animation runs.
                pid=$!
                (sleep 3; grep -E '^(VmHWM|VmRSS|RssAnon|RssFile|RssShmem):' "/proc/$pid/status" |
                    while read -r key value unit; do echo "zq: memory $key $value"; done
                 echo "zq: memory listed") &
            fi
            ;;
        *)
            "/sbin/$program"
            echo "zq: $program exited $?"
            echo "zq: mounts: $(grep -o ' /sdcard[^ ]*' /proc/mounts | tr '\n' ' ')"
            if [ -n "$small" ]; then
                find /system -type f | while read -r f; do echo "zq: file $f $(wc -c < "$f")"; done
                echo "zq: files listed"
            fi
            ;;
    esac
done
echo "zq: boot done"
while true; do sleep 3600; done
