#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks that every file the
# package needs is there, executable where it is a program.
# Usage: installed.sh BUILD_DIR PREFIX WINDOW(ON|OFF)
set -euo pipefail
build="$1" prefix="$2" window="$3"
dest="$(mktemp -d "${TMPDIR:-/tmp}/v62x-install.XXXXXX")"
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" >/dev/null

id=org.v62xfwtool.v62xfwtool
programs=(bin/v62xfw bin/v62x-usb-bridge libexec/v62xfwtool/v62x-demo-set)
files=(
    share/man/man1/v62xfw.1.gz
    share/bash-completion/completions/v62xfw
    share/v62xfwtool/udev/70-v62xfw-uaccess.rules.example
    share/doc/v62xfwtool/copyright
)
if [ "$window" = ON ]; then
    programs+=(bin/v62xfwtool bin/v62xfwtool-pkexec)
    files+=(
        share/man/man1/v62xfwtool.1.gz
        share/applications/$id.desktop
        share/metainfo/$id.metainfo.xml
        share/polkit-1/actions/$id.policy
        share/icons/hicolor/scalable/apps/$id.svg
        share/doc/v62xfwtool/v62xfwtool.png
    )
    for size in 16 32 48 64 128 256; do files+=(share/icons/hicolor/${size}x${size}/apps/$id.png); done
fi

root="$dest$prefix"
bad=0
for f in "${programs[@]}"; do
    [ -f "$root/$f" ] && [ -x "$root/$f" ] || { echo "missing program: $prefix/$f"; bad=1; }
done
for f in "${files[@]}"; do
    [ -s "$root/$f" ] || { echo "missing file: $prefix/$f"; bad=1; }
done
if [ "$window" = ON ]; then
    # The polkit action must name the launcher where it is installed.
    grep -q ">$prefix/bin/v62xfwtool-pkexec<" "$root/share/polkit-1/actions/$id.policy" ||
        { echo "the polkit action does not name $prefix/bin/v62xfwtool-pkexec"; bad=1; }
else
    [ ! -e "$root/bin/v62xfwtool" ] && [ ! -e "$root/share/applications" ] ||
        { echo "window files installed without the window"; bad=1; }
fi
# Nothing goes into the live udev rules.
if find "$dest" -path '*rules.d*' | grep -q .; then echo "a udev rule is installed enabled"; bad=1; fi
for page in "$root"/share/man/man1/*.1.gz; do
    warnings="$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)"
    [ -z "$warnings" ] || { echo "$page: $warnings"; bad=1; }
done
[ $bad -eq 0 ] && echo "installed: ${#programs[@]} programs, ${#files[@]} files"
exit $bad
