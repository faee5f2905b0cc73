#!/bin/bash
# Raw-print soak: sends a 1 MiB image many times through the raw-print library
# (binprn32_send) to the default queue of a private print server, and counts
# the sends that did not end with code 0. The server is healthy and its backend
# discards the bytes (/dev/null), so every send must succeed: a failure is the
# library giving up on a server that did answer. With --load the machine is
# kept busy meanwhile (a busy loop on every processor and a writer that keeps
# the disk cache full), which is when a busy server answers in parts.
#
#   bench/print_soak.sh [--load] [BUILD_DIR [SENDS]]     (defaults: build, 1000)
#
# Exits 0 when every send succeeded, 1 otherwise.
set -euo pipefail

load=false
if [ "${1:-}" = --load ]; then
    load=true
    shift
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
build=$(cd "${1:-$repo/build}" && pwd -P)
sends=${2:-1000}
send=$build/binprn32_send
cupsd_script=$repo/tools/private-cupsd.sh

die() {
    echo "print_soak: $*" >&2
    exit 1
}
[ -x "$send" ] || die "$send not found: build the target binprn32_send first"
[[ $sends =~ ^[1-9][0-9]*$ ]] || die "SENDS must be a positive number, not $sends"

work=$(mktemp -d /tmp/print_soak.XXXXXX)
loaders=()
cleanup() {
    for pid in "${loaders[@]}"; do
        kill -- "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    "$cupsd_script" stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT

[ -x "$build/loader_capture_backend" ] && export LOADER_CAPTURE_BACKEND=$build/loader_capture_backend
eval "$(LOADER_CAPTURE_PATH=/dev/null "$cupsd_script" start "$work/server")"

image=$work/image.bin
head -c $((1024 * 1024)) /dev/urandom >"$image"

if $load; then
    for _ in $(seq "$(nproc)"); do
        bash -c 'while :; do :; done' &
        loaders+=("$!")
    done
    bash -c 'while :; do dd if=/dev/zero of="$1" bs=1M count=4096 status=none; rm -f "$1"; done' \
        writer "$work/fill.bin" &
    loaders+=("$!")
fi

failed=0
declare -A codes=()
times=()
for i in $(seq "$sends"); do
    t0=$EPOCHREALTIME
    out=$("$send" "$image" 2>&1) || true
    t1=$EPOCHREALTIME
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) * 1000 }')")
    code=$(sed -n 's/^code=\([0-9]*\) .*/\1/p' <<<"$out")
    if [ "$code" != 0 ]; then
        failed=$((failed + 1))
        codes[${code:-none}]=$((${codes[${code:-none}]:-0} + 1))
        echo "send $i: code ${code:-none} after ${times[-1]} ms"
    fi
done

median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
summary=""
for code in "${!codes[@]}"; do
    summary+="${summary:+, }code $code: ${codes[$code]}"
done
echo "print_soak: $sends sends$($load && echo ' under load'), $failed failed${summary:+ ($summary)}; median $median ms a send"
[ "$failed" -eq 0 ]
