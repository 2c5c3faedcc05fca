#!/usr/bin/env bash
# What the launcher's root half refuses: each line is the arguments after
# --as-root and the start of the refusal. A refusal exits 2 before anything
# is started.
# Usage: launcher.sh LAUNCHER
set -uo pipefail
launcher="$1"
if [ "$(id -u)" -ne 0 ]; then
    out="$("$launcher" --as-root DISPLAY=:0 2>&1)"; status=$?
    [ $status -eq 2 ] && [[ "$out" == *"--as-root is for the run through pkexec"* ]] && exit 0
    echo "not refused as a user: $status $out"; exit 1
fi
scratch="$(mktemp -d "${TMPDIR:-/tmp}/v62x-launcher.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/Xauthority"
nl=$'\n'
cases=(
    "LD_PRELOAD=/tmp/x.so DISPLAY=:0|not passed on: LD_PRELOAD"
    "DISPLAY|not NAME=VALUE"
    "DISPLAY=:0 DISPLAY=:1|given twice: DISPLAY"
    "DISPLAY=|empty: DISPLAY"
    "XAUTHORITY=$scratch DISPLAY=:0|XAUTHORITY is no regular file"
    "XAUTHORITY=$scratch/none DISPLAY=:0|XAUTHORITY is no regular file"
    "XAUTHORITY=Xauthority DISPLAY=:0|XAUTHORITY is no regular file"
    "XDG_RUNTIME_DIR=$scratch/Xauthority WAYLAND_DISPLAY=wayland-0|XDG_RUNTIME_DIR is no folder"
    "XAUTHORITY=$scratch/Xauthority|neither DISPLAY nor WAYLAND_DISPLAY"
    "|neither DISPLAY nor WAYLAND_DISPLAY"
)
bad=0
for case in "${cases[@]}"; do
    read -r -a args <<<"${case%%|*}"
    expected="${case#*|}"
    out="$("$launcher" --as-root "${args[@]}" 2>&1)"; status=$?
    if [ $status -ne 2 ] || [[ "$out" != *"$expected"* ]]; then
        echo "not refused: ${args[*]}: status $status: $out"; bad=1
    fi
done
# A newline in a value, which the table's word splitting cannot carry.
out="$("$launcher" --as-root "DISPLAY=:0${nl}LD_PRELOAD=/tmp/x.so" 2>&1)"; status=$?
if [ $status -ne 2 ] || [[ "$out" != *"control character in DISPLAY"* ]]; then
    echo "not refused: a newline: status $status: $out"; bad=1
fi
exit $bad
