# Runs a test guest under QEMU with software emulation (no KVM needed).
#
# guest_qemu_check
#   fails, saying why, when this machine cannot run QEMU at all.
# guest_qemu_run VMLINUX INITRD CONSOLE OUTPUT SECONDS APPEND [QEMU ARG...]
#   boots VMLINUX (an ELF kernel, started through its PVH note) with INITRD,
#   the kernel console going to the file CONSOLE and the guest's second serial
#   port (ttyS1) to the file OUTPUT; APPEND is added to the kernel command
#   line, the QEMU ARGs to QEMU's. QEMU is stopped after SECONDS.
#   Sets GUEST_QEMU_STATUS (QEMU's exit status, 124 on the time limit),
#   GUEST_BOOT_SECONDS (start until the guest prints its first line on
#   ttyS1; empty when it never did) and GUEST_RUN_SECONDS (from that line
#   until QEMU ended). Returns GUEST_QEMU_STATUS.

GUEST_QEMU=qemu-system-x86_64

guest_qemu_check() {
    if ! command -v "$GUEST_QEMU" >/dev/null; then
        echo "cannot run QEMU: $GUEST_QEMU is not installed (package qemu-system-x86)" >&2
        return 1
    fi
    local out
    # Sets the machine up without running it, then quits through the monitor.
    if ! out="$(printf 'quit\n' | timeout 30 "$GUEST_QEMU" -machine q35,accel=tcg -nodefaults \
        -display none -S -monitor stdio -serial none 2>&1)"; then
        echo "cannot run QEMU on this machine: $out" >&2
        return 1
    fi
    return 0
}

# Seconds elapsed since the EPOCHREALTIME value $1, with one decimal.
guest_seconds_since() {
    awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}

guest_qemu_run() {
    local vmlinux="$1" initrd="$2" console="$3" output="$4" seconds="$5" append="$6"
    shift 6
    : >"$console"
    : >"$output"
    local errors="$console.qemu-stderr"
    local start="$EPOCHREALTIME"
    timeout --kill-after=10 "$seconds" "$GUEST_QEMU" \
        -machine q35,accel=tcg -cpu max -m 512 -smp 1 \
        -nodefaults -nic none -display none -no-reboot -monitor none \
        -kernel "$vmlinux" -initrd "$initrd" \
        -append "console=ttyS0 quiet panic=-1 $append" \
        -serial "file:$console" -serial "file:$output" \
        "$@" </dev/null 2>"$errors" &
    local pid=$!
    GUEST_BOOT_SECONDS=""
    local booted=""
    while kill -0 "$pid" 2>/dev/null; do
        if [ -z "$booted" ] && [ -s "$output" ]; then
            GUEST_BOOT_SECONDS="$(guest_seconds_since "$start")"
            booted="$EPOCHREALTIME"
        fi
        sleep 0.1
    done
    wait "$pid"
    GUEST_QEMU_STATUS=$?
    if [ -z "$booted" ] && [ -s "$output" ]; then
        GUEST_BOOT_SECONDS="$(guest_seconds_since "$start")"
        booted="$EPOCHREALTIME"
    fi
    GUEST_RUN_SECONDS=""
    [ -z "$booted" ] || GUEST_RUN_SECONDS="$(guest_seconds_since "$booted")"
    if [ -s "$errors" ]; then
        echo "QEMU said:" >&2
        sed 's/^/  /' "$errors" >&2
    fi
    return "$GUEST_QEMU_STATUS"
}
