#!/bin/sh
# Runs the S-record parser's fuzz target for a bounded time, starting from the committed seeds.
# Exits non-zero on any crash, sanitizer report, leak or hang; the input that caused it is kept
# under BUILD_DIR/fuzz-artifacts/srec2bin/.
# Usage: srec2bin/fuzz/run-fuzz.sh BUILD_DIR SECONDS   (BUILD_DIR configured with the fuzz preset)
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$build/fuzz_srec2bin
if [ ! -x "$fuzzer" ]; then
    echo "$fuzzer not found: configure with the fuzz preset and build the fuzz_srec2bin target" >&2
    exit 2
fi

# New inputs go to a scratch corpus: the committed seeds are only read.
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-srec2bin.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts/srec2bin
mkdir -p "$artifacts"

status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -dict="$here/srec.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$work" "$here/corpus" || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz_srec2bin failed (status $status); the input is in $artifacts" >&2
    exit 1
fi
echo "fuzz_srec2bin: no crash in $seconds s"
