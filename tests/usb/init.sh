#!/bin/sh
# /init of the test guest: mounts the kernel's file systems, runs the
# scenario named by v62x.run= on the kernel command line with its output on
# the second serial port (ttyS1), and powers off. The scenario is stopped
# after v62x.timeout= seconds (default 300).
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
modprobe configfs && mount -t configfs configfs /sys/kernel/config
hostname v62x-guest
export PATH=/opt/v62x/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root

run=/test/guest.sh
limit=300
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        v62x.run=*) run="${arg#v62x.run=}" ;;
        v62x.timeout=*) limit="${arg#v62x.timeout=}" ;;
    esac
done

stty -F /dev/ttyS1 raw -echo 2>/dev/null
cd /tmp
timeout -s KILL "$limit" sh "$run" >/dev/ttyS1 2>&1
status=$?
[ $status -eq 0 ] || echo "guest: $run ended with status $status" >/dev/ttyS1
sync
poweroff -f
