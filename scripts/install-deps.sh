#!/usr/bin/env bash
# Installs the Debian packages that the loader needs, group by group, each
# group whole (recommended packages are never relied on):
#
#   install-deps.sh            building
#   install-deps.sh --bench    building, and what a bench needs to load for real
#   install-deps.sh --tests    building, the tests (and benchmarks) and fuzzing
#   install-deps.sh --vm       building, and the virtual bench's host side
#
# The options may be given together. Run as root. Packages already
# present are not fetched again. No service is started here: the tests run a
# print server of their own, and scripts/build-and-run.sh starts the system's
# one on a bench.
set -euo pipefail

build=(build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libcups2-dev)
# cups brings cups-filters, whose parallel backend drives /dev/lp0.
bench=(cups libqt6serialport6 libqt6widgets6 libcups2)
tests=(cups-daemon cups-client cups-filters udev
       xvfb xauth imagemagick openbox xdotool
       binutils srecord exfat-fuse exfatprogs libbenchmark-dev
       desktop-file-utils appstream lintian shellcheck clang-format
       weston qt6-wayland debootstrap)
fuzzing=(clang libclang-rt-dev)
# The virtual bench (tests/vm): QEMU, its disk tool, the image's file system
# tool and the host-side driver.
vm=(qemu-system-x86 qemu-utils e2fsprogs python3)

usage() {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
}

wanted=("${build[@]}")
for arg in "$@"; do
    case $arg in
    --bench) wanted+=("${bench[@]}") ;;
    --tests) wanted+=("${tests[@]}" "${fuzzing[@]}") ;;
    --vm) wanted+=("${vm[@]}") ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        echo "install-deps: unknown option $arg" >&2
        usage >&2
        exit 2
        ;;
    esac
done

# A name counts as present when a package of that name is installed or when an
# installed package provides it (Debian 13's libcups2t64 provides libcups2).
present=" "
while IFS=$'\t' read -r status name provides; do
    [[ $status == 'install ok installed' ]] || continue
    present+="$name "
    # Provides reads "a (= 1), b"; keep the names only.
    provides=${provides//,/ }
    for word in $provides; do
        [[ $word == '('* || $word == *')' || $word == '=' ]] || present+="$word "
    done
done < <(dpkg-query -W -f='${Status}\t${Package}\t${Provides}\n' 2>/dev/null)
missing=()
for p in "${wanted[@]}"; do
    [[ $present == *" $p "* ]] || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing packages: ${missing[*]} (run this script as root)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Installing must not start the machine's own print server (the tests run a
# private one; a bench's is started on purpose by build-and-run.sh).
# policy-rc.d keeps maintainer scripts from starting services meanwhile.
policy=/usr/sbin/policy-rc.d
restore_policy=false
if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    restore_policy=true
fi
trap 'if $restore_policy; then rm -f "$policy"; fi' EXIT
apt-get install -y -qq --no-install-recommends "${missing[@]}"
