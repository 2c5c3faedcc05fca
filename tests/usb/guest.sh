# The USB scenario, run by the guest's /init; its output goes to the host
# through the second serial port.
#
# Inputs from the host, under /test: description (the V62X_SIMULATE value
# that v62x-usb-bridge serves, image= files in /tmp/img), bridges.txt (one
# line per entry of the description: "product|kind|class", kind "disk" for
# an ordinary disk), runs.txt (the runs, see that file) and fw/ (firmware
# images).
# Output for the host: the archive "results" with the image files (img/)
# and the backups (out/) that the runs left.
. /test/lib.sh
echo "guest: scenario start at uptime $(uptime_s) s, kernel $(uname -r)"

description="$(cat /test/description)"
entries=$(grep -c . /test/bridges.txt)
mkdir -p /tmp/img /tmp/out /tmp/log /mnt/big-flash /mnt/stick

modprobe -a usb-storage sd_mod sr_mod sg xhci_pci libcomposite usb_f_fs vfat nls_cp437 nls_ascii nls_utf8
modprobe dummy_hcd num="$entries"

# --- Devices by their SCSI model text (the first 16 characters of the
# product text), found in sysfs.

# The SCSI generic node of the device whose product text is $1.
sg_of() {
    want="$(printf '%.16s' "$1")"
    for g in /sys/class/scsi_generic/sg*; do
        [ -e "$g/device/model" ] || continue
        model="$(sed 's/ *$//' "$g/device/model")"
        if [ "$model" = "$want" ]; then
            echo "/dev/${g##*/}"
            return 0
        fi
    done
    return 1
}

# Its block node (sdX or srN).
block_of() {
    g="$(sg_of "$1")" || return 1
    b="$(ls "/sys/class/scsi_generic/${g#/dev/}/device/block" 2>/dev/null)"
    [ -n "$b" ] && echo "/dev/$b"
}

# Its USB address, bus and device number ("3-2"): a device that left the
# bus and came back has a new device number.
usb_address_of() {
    g="$(sg_of "$1")" || return 1
    d="$(readlink -f "/sys/class/scsi_generic/${g#/dev/}/device" |
        sed -n 's|^\(.*/usb[0-9]*/[0-9]*-[0-9.]*\)/.*|\1|p')"
    [ -n "$d" ] && echo "$(cat "$d/busnum")-$(cat "$d/devnum")"
}

# Every entry and the QEMU stick have a SCSI generic node and a block node.
all_devices_up() {
    n=0
    for g in /sys/class/scsi_generic/sg*; do
        [ -e "/dev/${g##*/}" ] || return 1
        [ -n "$(ls "$g/device/block" 2>/dev/null)" ] || return 1
        n=$((n + 1))
    done
    [ "$n" -eq $((entries + 1)) ]
}

# The list entry of the bridge whose product text is $1, from the run NAME
# ($2): the entry line and the lines under it up to the next entry.
entry_of() {
    awk -v p="<<USB>> Velmora $1" '
        /^\[[0-9]+\] / { on = index($0, "\"" p) > 0 }
        on { print }' "/tmp/log/$2.out"
}

# The list index of the bridge whose product text is $1, from the run $2.
index_of() {
    entry_of "$1" "$2" | sed -n 's/^\[\([0-9]*\)\].*/\1/p'
}

# The bridge $1 has a USB address other than $2 and v62xfw lists it.
back_and_listed() {
    a="$(usb_address_of "$1")" && [ "$a" != "$2" ] && all_devices_up || return 1
    v62xfw list >/tmp/log/relist.out 2>/dev/null && [ -n "$(index_of "$1" relist)" ]
}

# --- The bridges come up.
section "bridges"

v62x-usb-bridge --simulate "$description" >/tmp/log/bridge.out 2>/tmp/log/bridge.err &
bridge_pid=$!
check "v62x-usb-bridge says ready" wait_for 60 grep -qx ready /tmp/log/bridge.out
sed 's/^/  bridge: /' /tmp/log/bridge.out
check "v62x-usb-bridge serves each of the $entries entries" \
    [ "$(grep -c '^served: entry ' /tmp/log/bridge.out)" -eq "$entries" ]
check "every gadget and the QEMU stick have /dev/sg and block nodes" wait_for 60 all_devices_up
ls -l /dev/sg* | sed 's/^/  /'

# A volume on the disk behind one bridge, and one on the stick.
big_flash_disk="$(block_of "Big flash 645")"
stick_disk="$(block_of "QEMU HARDDISK")"
check "FAT volumes on the Big flash 645 disk and the stick are mounted" sh -c "
    mkdosfs $big_flash_disk >/dev/null && mount -t vfat $big_flash_disk /mnt/big-flash &&
    mkdosfs $stick_disk >/dev/null && mount -t vfat $stick_disk /mnt/stick"

# --- 1. Discovery through the kernel.
section "discovery"

run list v62xfw list --trace
check "list: exit status 0" [ "$(rc list)" = 0 ]
bridges=0
while IFS='|' read -r product kind class; do
    [ "$kind" = disk ] && continue
    bridges=$((bridges + 1))
    entry_of "$product" list >/tmp/log/entry
    check "list: $product (kind $kind, $class class) as \"<<USB>> Velmora $product\" on $(sg_of "$product")" \
        sh -c "grep -q '^\[[0-9]*\] \"<<USB>> Velmora $product' /tmp/log/entry &&
               grep -qx '    path: *$(sg_of "$product")' /tmp/log/entry &&
               grep -q '^    chip: *kind $kind ' /tmp/log/entry"
done </test/bridges.txt
check "list: $bridges bridges, no other entry" [ "$(grep -c '^\[[0-9]*\] ' /tmp/log/list.out)" -eq "$bridges" ]
entry_of "Big flash 645" list >/tmp/log/entry_big
check "list: the drives of Big flash 645 are /mnt/big-flash" grep -qx '    drives: */mnt/big-flash' /tmp/log/entry_big
cd_sg="$(sg_of "CD 735")"
check "list: the CD-ROM-class bridge ($cd_sg) is released at exit, no command goes to an empty path" sh -c "
    tail -n 1 /tmp/log/list.err | grep -q '^OUT $cd_sg cdb=FF 04 56 52 AA ' &&
    ! grep -qE '^(IN|OUT) +cdb=' /tmp/log/list.err"
plain_sg="$(sg_of "Plain disk")"
stick_sg="$(sg_of "QEMU HARDDISK")"
check "list: the plain disk ($plain_sg) and the QEMU stick ($stick_sg) are asked, not listed" sh -c "
    grep -q ' $plain_sg cdb=' /tmp/log/list.err && grep -q ' $stick_sg cdb=' /tmp/log/list.err &&
    ! grep -q 'Plain disk\|QEMU' /tmp/log/list.out && ! grep -q '/mnt/stick' /tmp/log/list.out"

# --- 2. Each bridge as info shows it.
section "info"

while IFS='|' read -r product kind class; do
    [ "$kind" = disk ] && continue
    node="$(sg_of "$product")"
    run info v62xfw info "$node"
    check "info $node: $product, kind $kind" sh -c "
        [ $(rc info) = 0 ] && grep -q '^entry: *\"<<USB>> Velmora $product' /tmp/log/info.out &&
        grep -q '^chip: .*(kind $kind, ' /tmp/log/info.out"
done </test/bridges.txt

# --- 3. and 4. The runs; the bridges that restart by themselves leave and
# come back.
section "runs"

# window_run PRODUCT FILE: the window (offscreen) on the real host: the
# bridge's gadget is unplugged and plugged back while the window watches
# (the kernel's own device events, no udevd here), then the window
# programs FILE into it with Run. The probe's own check lines count here.
window_run() {
    served="$(grep "^served: entry [0-9]* ($1) on " /tmp/log/bridge.out)"
    gadget="/sys/kernel/config/usb_gadget/v62x-$(echo "$served" | sed 's/^served: entry \([0-9]*\).*/\1/')"
    udc="$(echo "$served" | sed 's/.* on \([^ ]*\) as .*/\1/')"
    run window env QT_QPA_PLATFORM=offscreen v62x_window_probe --select "$1" --file "$2" \
        --unplug "echo '' >$gadget/UDC" --replug "echo $udc >$gadget/UDC"
    while IFS= read -r line; do
        case "$line" in
            'ok: '*) ok "${line#ok: }" ;;
            'FAIL: '*) fail "${line#FAIL: }" ;;
        esac
    done </tmp/log/window.out
    check "window: the probe ends with exit status 0" [ "$(rc window)" = 0 ]
}

runs=0
while IFS='|' read -r product status after args; do
    case "$product" in '' | '#'*) continue ;; esac
    product="$(echo $product)"
    status="$(echo $status)"
    after="$(echo $after)"
    args="$(echo $args | sed 's|{fw}|/test/fw|g; s|{out}|/tmp/out|g')"
    runs=$((runs + 1))
    node="$(sg_of "$product")"
    address="$(usb_address_of "$product")"
    if [ "$after" = window ]; then
        window_run "$product" "${args#--file }"
        continue
    fi
    # shellcheck disable=SC2086 # the arguments are split on purpose
    run "run$runs" v62xfw run "$node" $args
    check "run $product $args: exit status $status" [ "$(rc "run$runs")" = "$status" ]
    if [ "$after" = restart ]; then
        check "$product restarts: leaves USB address $address, comes back on another, listed again" \
            wait_for 30 back_and_listed "$product" "$address"
        echo "  $product: USB address $address -> $(usb_address_of "$product") ($(sg_of "$product"))"
    fi
done </test/runs.txt
dmesg | grep -i 'usb.*disconnect' | sed 's/^/  kernel: /'

# --- 5. Without permission: the nodes are root's (0600).
section "no permission"

node="$(sg_of "Serial flash 645")"
run nobody_list su -s /bin/sh nobody -c "v62xfw list"
check "list as nobody: exit status 5, no bridge, \"no permission to access $node: run as root\"" sh -c "
    [ $(rc nobody_list) = 5 ] && grep -qx 'No available device!!!' /tmp/log/nobody_list.out &&
    grep -qx 'no permission to access $node: run as root' /tmp/log/nobody_list.err"
check "list as nobody: the same for each of the $((entries + 1)) devices" \
    [ "$(grep -c '^no permission to access /dev/sg[0-9]*: run as root$' /tmp/log/nobody_list.err)" -eq $((entries + 1)) ]
run nobody_run su -s /bin/sh nobody -c "v62xfw run $node --backup-only --backup-file /tmp/nobody.bak"
check "run as nobody: exit status 5, \"no permission to access $node: run as root\", no backup" sh -c "
    [ $(rc nobody_run) = 5 ] && grep -qx 'no permission to access $node: run as root' /tmp/log/nobody_run.err &&
    [ ! -e /tmp/nobody.bak ]"

# --- 6. Transfers longer than one request.
section "long transfers"

disk="$(block_of "Serial flash 645")"
echo "  max_hw_sectors_kb of ${disk#/dev/}: $(cat "/sys/block/${disk#/dev/}/queue/max_hw_sectors_kb")"
size() { wc -c <"$1" | tr -d ' '; }
check "the CD 735 backup holds the whole 128 KiB flash" [ "$(size /tmp/out/cd-735-128k.bak)" = 131072 ]
check "the Big flash 645 backup holds the whole 1 MiB flash" [ "$(size /tmp/out/big-flash-1m.bak)" = 1048576 ]
head -c 1048576 /dev/zero | tr '\000' '\377' >/tmp/ff-1m
check "after the erase the Big flash 645 reads 0xFF throughout" cmp -s /tmp/ff-1m /tmp/out/big-flash-1m-erased.bak


# --- The bridges stop and keep their stores in the image files.
section "stop"

kill -TERM "$bridge_pid"
wait "$bridge_pid"
bridge_status=$?
sed 's/^/  bridge: /' /tmp/log/bridge.out
sed 's/^/  bridge! /' /tmp/log/bridge.err
check "v62x-usb-bridge ends with status 0 on SIGTERM" [ "$bridge_status" = 0 ]
check "the image file of each bridge is written" \
    [ "$(ls /tmp/img | wc -l)" -eq "$(grep -vc '|disk|' /test/bridges.txt)" ]
mkdir -p /tmp/results
cp -a /tmp/img /tmp/out /tmp/results/
send_archive results /tmp/results

echo "guest: scenario end at uptime $(uptime_s) s"
verdict
