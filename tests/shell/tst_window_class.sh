#!/usr/bin/env bash
# Under a private X server (run by with-openbox.sh): the shipped program's
# window carries the desktop entry's name as its class, and the entry names
# that class in StartupWMClass, so docks link the window to its launcher.
#
#   tst_window_class.sh LOADER DESKTOP_ENTRY
set -euo pipefail

loader=$1
entry=$2
id=$(basename "$entry" .desktop)
work=$(mktemp -d /tmp/tst_window_class.XXXXXX)
pid=
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

grep -qx "StartupWMClass=$id" "$entry" || fail "$entry has no StartupWMClass=$id"

# No print server of the machine is asked.
CUPS_SERVER=$work/no-cups.sock HOME=$work "$loader" >"$work/out" 2>&1 &
pid=$!
pattern="^${id//./\\.}\$"
timeout 20 xdotool search --sync --class "$pattern" >"$work/windows" ||
    fail "no window of class $id within 20 s"
[ -s "$work/windows" ] || fail "no window of class $id"
kill -0 "$pid" 2>/dev/null || fail "the loader ended: $(cat "$work/out")"
printf 'PASS: the window class is %s\n' "$id"
