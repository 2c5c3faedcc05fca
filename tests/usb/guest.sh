# The USB test scenario, run by the guest's /init with its output on the
# host's side of the second serial port.
. /test/lib.sh
echo "guest: scenario start at uptime $(uptime_s) s, kernel $(uname -r)"

modprobe -a usb-storage sd_mod sr_mod sg xhci_pci

# The QEMU USB stick: an ordinary disk behind usb-storage.
stick_node() {
    for d in /sys/block/sd*; do
        [ -e "$d/device/vendor" ] || continue
        if [ "$(cat "$d/device/vendor")" = "QEMU    " ]; then
            echo "/dev/${d##*/}"
            return 0
        fi
    done
    return 1
}
check "the QEMU USB stick comes up as a disk" wait_for 20 stick_node
stick="$(stick_node)"
stick_sg="/dev/$(ls /sys/block/${stick#/dev/}/device/scsi_generic)"
echo "  stick: $stick $stick_sg ($(cat /sys/block/${stick#/dev/}/device/model))"

run list v62xfw list --trace
check "v62xfw list runs (exit status 0)" [ "$(rc list)" = 0 ]
check "v62xfw list finds no bridge" has list "No available device!!!"
check "the stick is asked and refused, not listed" has_err list "$stick_sg"

# [window check] The window's check in the guest goes here: its program,
# Qt plugins and files come through tests/usb/payload.list.

echo "guest: scenario end at uptime $(uptime_s) s"
verdict
