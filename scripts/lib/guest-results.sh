# Reads what a test guest printed on its second serial port: one line per
# check ("ok: ..." or "FAIL: ..."), a closing "verdict: ..." line, and
# archives of files between marker lines:
#   ---- begin archive NAME ----
#   (base64 of a gzipped tar)
#   ---- end archive NAME ----
#
# guest_results_clean OUTPUT
#   drops the carriage returns a serial line may add.
# guest_results_check OUTPUT
#   prints the check lines and a count; fails on any FAIL, on no check at
#   all, or when the verdict line is missing (the guest stopped early).
# guest_results_extract OUTPUT NAME FOLDER
#   unpacks the archive NAME into FOLDER.

guest_results_clean() {
    sed -i 's/\r$//' "$1"
}

guest_results_check() {
    local output="$1"
    grep -E '^(ok|FAIL|skip): ' "$output" || true
    local passed failed
    passed="$(grep -c '^ok: ' "$output" || true)"
    failed="$(grep -c '^FAIL: ' "$output" || true)"
    local verdict
    verdict="$(grep '^verdict: ' "$output" | tail -n 1 || true)"
    echo "$passed passed, $failed failed"
    if [ -z "$verdict" ]; then
        echo "the guest printed no verdict: it stopped before the end of its checks" >&2
        return 1
    fi
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] && [ "$verdict" = "verdict: pass" ]
}

guest_results_extract() {
    local output="$1" name="$2" folder="$3"
    mkdir -p "$folder"
    local begin="---- begin archive $name ----" end="---- end archive $name ----"
    if ! grep -qxF -- "$end" "$output"; then
        echo "the guest sent no archive $name" >&2
        return 1
    fi
    awk -v b="$begin" -v e="$end" '$0 == e { on = 0 } on { print } $0 == b { on = 1 }' "$output" \
        | base64 -d | tar -xz -C "$folder"
}
