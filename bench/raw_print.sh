#!/bin/bash
# Raw-print benchmark: sends a 16 MiB image through the raw-print library
# (binprn32_send) and through `lp -o raw` to the same queue of a private print
# server, alternating, and prints the median time until each submit returns,
# their ratio (target: at most 1.0) and the library's extra peak memory
# (target: under 8 MiB). The server's backend discards the bytes (/dev/null),
# and each run waits until the queue is empty, so the runs do not overlap.
#
#   bench/raw_print.sh [BUILD_DIR [RUNS]]     (defaults: build, 9)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
build=$(cd "${1:-$repo/build}" && pwd -P)
runs=${2:-9}
send=$build/binprn32_send
cupsd_script=$repo/tools/private-cupsd.sh

die() {
    echo "raw_print: $*" >&2
    exit 1
}
[ -x "$send" ] || die "$send not found: build the target binprn32_send first"
command -v lp >/dev/null || die "lp not found: install the Debian package cups-client"
lpstat=$(command -v lpstat) || die "lpstat not found: install the Debian package cups-client"

work=$(mktemp -d /tmp/raw_print.XXXXXX)
cleanup() {
    "$cupsd_script" stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT

[ -x "$build/loader_capture_backend" ] && export LOADER_CAPTURE_BACKEND=$build/loader_capture_backend
eval "$(LOADER_CAPTURE_PATH=/dev/null "$cupsd_script" start "$work/server")"

image=$work/image.bin
head -c $((16 * 1024 * 1024)) /dev/urandom >"$image"

wait_idle() {
    for _ in $(seq 3000); do
        [ -z "$("$lpstat" -o 2>/dev/null)" ] && return 0
        sleep 0.01
    done
    die "the queue did not empty within 30 s"
}

# Seconds since the epoch with microseconds.
now() { echo "$EPOCHREALTIME"; }

lib_times=()
lp_times=()
extra_kib=()
peak_kib=()

run_lib() {
    local t0 t1 out
    t0=$(now)
    out=$("$send" "$image") || die "binprn32_send failed: $out"
    t1=$(now)
    lib_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')")
    local before after
    before=$(sed -n 's/.*peak_kib_before=\([0-9]*\).*/\1/p' <<<"$out")
    after=$(sed -n 's/.*peak_kib_after=\([0-9]*\).*/\1/p' <<<"$out")
    extra_kib+=($((after - before)))
    peak_kib+=("$after")
    wait_idle
}

run_lp() {
    local t0 t1
    t0=$(now)
    lp -o raw "$image" >/dev/null || die "lp failed"
    t1=$(now)
    lp_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')")
    wait_idle
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# One warm-up of each (page cache, server start-up), not counted.
"$send" "$image" >/dev/null && wait_idle
lp -o raw "$image" >/dev/null && wait_idle

for i in $(seq "$runs"); do
    if ((i % 2)); then
        run_lib
        run_lp
    else
        run_lp
        run_lib
    fi
done

lib_median=$(median "${lib_times[@]}")
lp_median=$(median "${lp_times[@]}")
echo "image: 16 MiB, runs: $runs each, alternating"
printf 'library (vbSendPrnToDefPrinter): median %.1f ms\n' "$(awk -v t="$lib_median" 'BEGIN { print t * 1000 }')"
printf 'lp -o raw:                       median %.1f ms\n' "$(awk -v t="$lp_median" 'BEGIN { print t * 1000 }')"
printf 'ratio library / lp:              %.2f (target <= 1.0)\n' "$(awk -v a="$lib_median" -v b="$lp_median" 'BEGIN { print a / b }')"
printf 'library extra peak memory:       %d KiB (max over runs; target < 8192 KiB)\n' "$(maximum "${extra_kib[@]}")"
printf 'driver process peak RSS:         %d KiB\n' "$(maximum "${peak_kib[@]}")"
