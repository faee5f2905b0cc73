#!/usr/bin/env bash
# Runs a program as a client of a private Wayland compositor (weston, headless,
# on a socket of its own in a private XDG_RUNTIME_DIR), then stops it.
#
#   with-weston.sh PROGRAM [ARGUMENTS...]
#
# The program sees WAYLAND_DISPLAY, XDG_RUNTIME_DIR, QT_QPA_PLATFORM=wayland and
# WESTON_PROTOCOL_LOG, the file where the compositor writes every request it
# received and every event it sent (WAYLAND_DEBUG=server), so that the program
# can check what the compositor itself was told. Exits with the program's
# status, or 1 with a message naming the Debian package of what is missing.
set -euo pipefail

die() {
    printf 'with-weston: %s\n' "$*" >&2
    exit 1
}

command -v weston >/dev/null || die "weston is missing: install the Debian package weston"
(($# > 0)) || die "usage: with-weston.sh PROGRAM [ARGUMENTS...]"

work=$(mktemp -d /tmp/with-weston.XXXXXX)
chmod 700 "$work"
weston_pid=
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    if [[ -n $weston_pid ]]; then
        kill "$weston_pid" 2>/dev/null || true
        wait "$weston_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$work
socket=wayland-test
# The headless backend has the same module name on weston 10 (Debian 12) and
# 14 (Debian 13); the kiosk shell needs no helper client of its own.
weston --backend=headless-backend.so --shell=kiosk-shell.so --socket="$socket" --logger-scopes=log,proto \
    --width=1280 --height=1024 --idle-time=0 --no-config >"$work/weston.out" 2>"$work/protocol.log" &
weston_pid=$!
for _ in $(seq 200); do
    [[ -S $work/$socket ]] && break
    kill -0 "$weston_pid" 2>/dev/null || { cat "$work/weston.out" "$work/protocol.log" >&2; die "weston did not start"; }
    sleep 0.05
done
[[ -S $work/$socket ]] || die "weston made no socket within 10 s"

status=0
env -u DISPLAY WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland WESTON_PROTOCOL_LOG="$work/protocol.log" "$@" ||
    status=$?
if ((status != 0)); then
    printf 'with-weston: the compositor said:\n' >&2
    tail -n 20 "$work/weston.out" >&2
fi
exit "$status"
