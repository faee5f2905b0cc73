#!/usr/bin/env bash
# The virtual bench: boots a Debian 13 guest with QEMU (KVM when the machine
# has it, software emulation otherwise), installs the loader's Debian 13
# package in it and carries a whole loading through the real kernel drivers,
# udev, systemd and the print server. One line per check, "ok ..." or
# "FAIL ...", then "N passed, M failed". Run as root, after the package was
# built for Debian 13 (scripts/other-release.sh on Debian 12, or
# scripts/package.sh on Debian 13).
#
#   tests/vm/run.sh [DEB]
#
# LOADER_VM_ACCEL=tcg forces software emulation (as on CI machines without KVM).
# What a run leaves for diagnosis is in build/vm/ (the guest's console, QEMU's
# output, the simulators' output, the saved spy logs, the screenshots).
set -euo pipefail
self=$(readlink -f "$0")
source_dir=$(dirname "$(dirname "$(dirname "$self")")")
cd "$source_dir"

fail() {
    printf 'FAIL vm: %s\n0 passed, 1 failed\n' "$*"
    exit 1
}

[[ $(id -u) -eq 0 ]] || fail "run as root (the guest image is made with debootstrap and chroot)"
for tool in qemu-system-x86_64:qemu-system-x86 qemu-img:qemu-utils python3:python3 debootstrap:debootstrap \
    mkfs.ext4:e2fsprogs; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found: install the Debian package ${tool#*:}"
done

# The package built for Debian 13 in this run.
deb=${1:-}
if [[ -z $deb ]]; then
    # shellcheck disable=SC1091  # the machine's own file
    codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    if [[ $codename == trixie ]]; then
        deb=build-deb/load-qx7100_1.00-1_amd64.deb
    else
        deb=build-deb/trixie/load-qx7100_1.00-1_amd64.deb
    fi
fi
[[ -f $deb ]] || fail "no Debian 13 package $deb: build it first (scripts/other-release.sh on Debian 12)"

sim=${LOADER_VM_SIM:-build/decoder-sim}
[[ -x $sim ]] || fail "no decoder simulator $sim: build it first (cmake --build --preset default --target decoder-sim)"

accel=${LOADER_VM_ACCEL:-}
if [[ -z $accel ]]; then
    if [[ -r /dev/kvm && -w /dev/kvm ]]; then accel=kvm; else accel=tcg; fi
fi
case $accel in
kvm) boot_timeout=180 ;;
tcg) boot_timeout=420 ;;
*) fail "LOADER_VM_ACCEL is kvm or tcg, not $accel" ;;
esac

work=${LOADER_VM_WORK:-$source_dir/build/vm}
rm -rf --one-file-system "$work"
mkdir -p "$work"

started=$SECONDS
printf '== vm: the guest image (made once, then cached)\n'
image=$(tests/vm/build-image.sh 2> >(tee "$work/image.log" >&2)) ||
    fail "the guest image could not be made: see $work/image.log"
[[ -f $image/base.raw && -f $image/vmlinuz && -f $image/initrd.img ]] || fail "the guest image in $image is incomplete"
printf '== vm: image ready in %d s; booting it (%s)\n' "$((SECONDS - started))" "$accel"

drive() { # ACCEL BOOT_TIMEOUT
    PYTHONDONTWRITEBYTECODE=1 python3 tests/vm/driver.py --image "$image" --deb "$deb" --sim "$sim" --work "$work" \
        --accel "$1" --boot-timeout "$2"
}
status=0
drive "$accel" "$boot_timeout" || status=$?
# Status 3: KVM is there but cannot run the guest (an internal error, as
# nested virtualisation gives on some hosts). Chosen by this script, it gives
# way to software emulation; asked for by LOADER_VM_ACCEL, it is a failure.
if [[ $status -eq 3 ]]; then
    if [[ -z ${LOADER_VM_ACCEL:-} ]]; then
        mv "$work/qemu.log" "$work/qemu-kvm.log"
        printf '== vm: booting it again in software emulation (tcg)\n'
        status=0
        drive tcg 420 || status=$?
    else
        printf 'FAIL boot: KVM cannot run the guest on this machine: see %s/qemu.log\n0 passed, 1 failed\n' "$work"
        status=1
    fi
fi
# The overlay is the guest's throwaway disk: gigabytes after a run.
rm -f "$work/overlay.qcow2"
printf '== vm: took %d s in all; results in %s/results.log\n' "$((SECONDS - started))" "$work"
exit "$status"
