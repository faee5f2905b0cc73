#!/bin/sh
# Compares srec2bin with `objcopy -I srec -O binary` on generated S-record files: runs both
# converters alternately, checks that their images are identical, and prints the median wall and
# CPU times, the speed ratio and srec2bin's peak memory against the targets (S3 at least 3x faster,
# S1/S2 never slower, peak memory at most image size + 16 MiB). Last, the S3 records in descending
# address order, through srec2bin alone.
#
# Usage: bench/srec2bin.sh [SREC2BIN [RUNS]]   (defaults: build/srec2bin, 5 runs)
# Needs: objcopy (Debian package binutils), cc (build-essential). Inputs live in a temporary
# folder (TMPDIR or /tmp; about 500 MiB) removed at the end.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
srec2bin=${1:-$root/build/srec2bin}
runs=${2:-5}

for tool in objcopy cc; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        case $tool in
            objcopy) echo "objcopy not found: install the Debian package binutils" >&2 ;;
            cc) echo "cc not found: install the Debian package build-essential" >&2 ;;
        esac
        exit 1
    fi
done
if [ ! -x "$srec2bin" ]; then
    echo "$srec2bin not found: build the srec2bin target first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/srec2bin-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# A tiny runner reporting wall time, CPU time and peak resident memory of one command, from
# wait4()'s resource usage: GNU time is not installed everywhere.
cat >"$work/measure.c" <<'EOF'
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char **argv) {
    struct timespec start, end;
    struct rusage usage;
    int status;
    pid_t child;
    if (argc < 2) return 2;
    clock_gettime(CLOCK_MONOTONIC, &start);
    child = fork();
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.4f %.4f %ld\n",
           (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
           (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
               + (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
           usage.ru_maxrss);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
EOF
cc -O2 -o "$work/measure" "$work/measure.c"

median() {
    sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# bench NAME FILE IMAGE_BYTES TARGET_RATIO
bench() {
    name=$1 input=$2 image=$3 target=$4
    : >"$work/ours" ; : >"$work/theirs"
    run=1
    while [ "$run" -le "$runs" ]; do
        rm -f "$work/ours.bin" "$work/objcopy.bin"
        "$work/measure" "$srec2bin" "$input" "$work/ours.bin" >>"$work/ours" \
            || { echo "$name: srec2bin failed" >&2; exit 1; }
        "$work/measure" objcopy -I srec -O binary --gap-fill 0xff "$input" "$work/objcopy.bin" >>"$work/theirs" \
            || { echo "$name: objcopy failed" >&2; exit 1; }
        if ! cmp -s "$work/ours.bin" "$work/objcopy.bin"; then
            echo "$name: the images of srec2bin and objcopy differ" >&2
            exit 1
        fi
        run=$((run + 1))
    done
    ours_wall=$(cut -d' ' -f1 "$work/ours" | median)
    ours_cpu=$(cut -d' ' -f2 "$work/ours" | median)
    ours_rss=$(cut -d' ' -f3 "$work/ours" | sort -n | tail -n 1)
    their_wall=$(cut -d' ' -f1 "$work/theirs" | median)
    their_cpu=$(cut -d' ' -f2 "$work/theirs" | median)
    their_rss=$(cut -d' ' -f3 "$work/theirs" | sort -n | tail -n 1)
    awk -v name="$name" -v ow="$ours_wall" -v oc="$ours_cpu" -v orss="$ours_rss" \
        -v tw="$their_wall" -v tc="$their_cpu" -v trss="$their_rss" \
        -v image="$image" -v target="$target" 'BEGIN {
        ratio = tw / ow
        limit = image / 1024 + 16 * 1024
        printf "%-28s srec2bin %7.3f s (cpu %6.3f s, peak %7d KiB)   objcopy %7.3f s (cpu %6.3f s, peak %7d KiB)\n",
               name, ow, oc, orss, tw, tc, trss
        printf "%-28s ratio %.2fx (target %sx): %s; peak memory %d KiB of at most %d KiB: %s\n", "",
               ratio, target, (ratio >= target ? "met" : "MISSED"), orss, limit, (orss <= limit ? "met" : "MISSED")
    }'
}

# Inputs: random payloads turned into S-records by objcopy (16 data bytes a record).
echo "Generating inputs in $work ..."
head -c 65536 /dev/urandom >"$work/s1.bin"
head -c 16777216 /dev/urandom >"$work/s2.bin"
head -c 67108864 /dev/urandom >"$work/s3.bin"
objcopy -I binary -O srec "$work/s1.bin" "$work/s1.srec"
objcopy -I binary -O srec "$work/s2.bin" "$work/s2.srec"
objcopy -I binary -O srec --srec-forceS3 "$work/s3.bin" "$work/s3.srec"
# The same S3 records from the highest address down: each record lands below all earlier ones.
{ head -n 1 "$work/s3.srec"; grep '^S3' "$work/s3.srec" | tac; tail -n 1 "$work/s3.srec"; } >"$work/s3-down.srec"
rm -f "$work/s1.bin" "$work/s2.bin" "$work/s3.bin"
for kind in s1 s2 s3; do
    test "$(sed -n 2p "$work/$kind.srec" | cut -c1-2)" = "$(echo "$kind" | tr s S)" \
        || { echo "generated $kind input has unexpected record types" >&2; exit 1; }
done

echo "Median of $runs alternate runs each; $srec2bin against $(objcopy --version | head -n 1)"
bench "S1, 64 KiB payload" "$work/s1.srec" 65536 1
bench "S2, 16 MiB payload" "$work/s2.srec" 16777216 1
bench "S3, 64 MiB payload" "$work/s3.srec" 67108864 3

# Records from the highest address down (objcopy needs minutes and gigabytes here, so srec2bin runs
# alone and its image must equal the one of the ascending file).
"$srec2bin" "$work/s3.srec" "$work/up.bin"
: >"$work/ours"
run=1
while [ "$run" -le "$runs" ]; do
    rm -f "$work/down.bin"
    "$work/measure" "$srec2bin" "$work/s3-down.srec" "$work/down.bin" >>"$work/ours" \
        || { echo "descending: srec2bin failed" >&2; exit 1; }
    cmp -s "$work/up.bin" "$work/down.bin" \
        || { echo "descending: the image differs from the one of the ascending records" >&2; exit 1; }
    run=$((run + 1))
done
awk -v wall="$(cut -d' ' -f1 "$work/ours" | median)" -v cpu="$(cut -d' ' -f2 "$work/ours" | median)" \
    -v rss="$(cut -d' ' -f3 "$work/ours" | sort -n | tail -n 1)" -v limit=$((65536 + 16384)) 'BEGIN {
    printf "%-28s srec2bin %7.3f s (cpu %6.3f s, peak %7d KiB); peak memory of at most %d KiB: %s\n",
           "S3, 64 MiB, descending", wall, cpu, rss, limit, (rss <= limit ? "met" : "MISSED")
}'
