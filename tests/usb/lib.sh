# Helpers of the guest scenarios (busybox sh): one line per check, "ok: ..."
# or "FAIL: ...", and a closing "verdict: pass" or "verdict: fail".

PASSED=0
FAILED=0

ok() { PASSED=$((PASSED + 1)); echo "ok: $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
skip() { echo "skip: $*"; }

# check TEXT COMMAND...: ok when COMMAND succeeds.
check() {
    text="$1"
    shift
    if "$@"; then ok "$text"; else fail "$text"; fi
}

verdict() {
    echo "checks: $PASSED passed, $FAILED failed"
    if [ "$FAILED" -eq 0 ] && [ "$PASSED" -gt 0 ]; then
        echo "verdict: pass"
    else
        echo "verdict: fail"
    fi
}

uptime_s() { cut -d' ' -f1 /proc/uptime; }

# section TITLE: a heading in the log, with the guest's uptime.
section() { echo "== $* (uptime $(uptime_s) s)"; }

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
    tenths=$(($1 * 10))
    shift
    while ! "$@" >/dev/null 2>&1; do
        tenths=$((tenths - 1))
        [ $tenths -gt 0 ] || return 1
        sleep 0.1
    done
}

# run NAME COMMAND...: runs COMMAND with its standard output in
# /tmp/log/NAME.out and its standard error in /tmp/log/NAME.err, both shown
# in the log; returns its exit status, also kept in /tmp/log/NAME.rc.
run() {
    name="$1"
    shift
    mkdir -p /tmp/log
    echo "\$ $*"
    started="$(uptime_s)"
    "$@" >"/tmp/log/$name.out" 2>"/tmp/log/$name.err"
    rc=$?
    took="$(awk -v a="$started" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }')"
    echo $rc >"/tmp/log/$name.rc"
    sed 's/^/  | /' "/tmp/log/$name.out"
    sed 's/^/  ! /' "/tmp/log/$name.err"
    echo "  (exit status $rc, $took s)"
    return $rc
}

# out NAME, err NAME, rc NAME: what a run printed and its exit status.
out() { cat "/tmp/log/$1.out"; }
err() { cat "/tmp/log/$1.err"; }
rc() { cat "/tmp/log/$1.rc"; }

# has NAME TEXT: the run's standard output holds the line TEXT (fixed text).
has() { grep -qF -- "$2" "/tmp/log/$1.out"; }
has_err() { grep -qF -- "$2" "/tmp/log/$1.err"; }

# send_archive NAME FOLDER: the folder's files as base64 of a gzipped tar
# between marker lines, for the host to unpack.
send_archive() {
    echo "---- begin archive $1 ----"
    tar -cz -C "$2" . | base64
    echo "---- end archive $1 ----"
}
