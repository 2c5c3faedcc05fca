#!/usr/bin/env bash
# Validates the desktop entry and the AppStream metainfo.
# Usage: validate.sh FILE.desktop FILE.metainfo.xml
set -uo pipefail
for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is missing (packages desktop-file-utils, appstream)"
        exit 77
    fi
done
bad=0
desktop-file-validate "$1" || bad=1
appstreamcli validate --no-net --pedantic "$2" || bad=1
exit $bad
