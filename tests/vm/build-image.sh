#!/usr/bin/env bash
# Makes the virtual bench's guest image, once: a Debian 13 root from debootstrap
# with the packages of guest/packages and the set-up of guest/setup.sh, written
# into an ext4 disk image with mkfs.ext4 -d (no loop device, no mount of the
# image), beside the kernel and initial ramdisk it boots with. Run as root.
#
#   tests/vm/build-image.sh       prints the folder that holds the image
#
# The image is kept in $LOADER_ROOT_CACHE (default /var/cache/load-qx7100-test)
# under vm-HASH, HASH made from the whole recipe (this script and guest/); a
# changed recipe makes a new image and removes the old ones. Runs never change
# it: each boots a throwaway overlay. One build at a time (a lock beside it).
set -euo pipefail
self=$(readlink -f "$0")
here=$(dirname "$self")

fail() {
    printf 'vm image: %s\n' "$*" >&2
    exit 1
}

[[ $(id -u) -eq 0 ]] || fail "run as root (debootstrap, chroot, mounts)"
for tool in debootstrap:debootstrap unshare:util-linux chroot:coreutils mkfs.ext4:e2fsprogs flock:util-linux; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found: install the Debian package ${tool#*:}"
done

release=trixie
mirror=${LOADER_DEBIAN_MIRROR:-http://deb.debian.org/debian}
size=${LOADER_VM_IMAGE_SIZE:-4G}
key=$( {
    printf '%s %s %s\n' "$release" "$mirror" "$size"
    cat "$self" "$here"/guest/*
} | sha256sum | cut -c1-16)
cache=${LOADER_ROOT_CACHE:-/var/cache/load-qx7100-test}
image=$cache/vm-$key

if [[ -f $image/.made ]]; then
    printf '%s\n' "$image"
    exit 0
fi

# The rest runs in a private mount namespace: no mount outlives the script.
if [[ ${LOADER_VM_IMAGE_NS:-} != "$$" ]]; then
    exec unshare --mount --propagation private env LOADER_VM_IMAGE_NS="$$" "$self" "$@"
fi

mkdir -p "$cache"
exec 9>"$cache/vm.lock"
flock 9
# Another run may have made it while this one waited.
if [[ -f $image/.made ]]; then
    printf '%s\n' "$image"
    exit 0
fi
started=$SECONDS
{
    for old in "$cache"/vm-*; do
        [[ -e $old && $old != "$image" ]] && rm -rf --one-file-system "$old"
    done
    rm -rf --one-file-system "$image"
    mkdir -p "$image"
    root=$image/root
    echo "== vm image: debootstrap of Debian $release into $root"
    debootstrap --variant=minbase --components=main "$release" "$root" "$mirror" ||
        fail "debootstrap of Debian $release failed (network, mirror $mirror)"
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb http://security.debian.org/debian-security %s-security main\n' \
        "$mirror" "$release" "$mirror" "$release" "$release" >"$root/etc/apt/sources.list"
    printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' >"$root/etc/apt/apt.conf.d/90no-recommends"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs tmpfs "$root/run"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    # No service starts in the root while packages are installed.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    mapfile -t packages < <(grep -v '^#' "$here/guest/packages" | grep -v '^$')
    echo "== vm image: installing ${#packages[@]} packages"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive /bin/sh -c 'apt-get update -qq && apt-get install -y -qq "$@"' sh "${packages[@]}" ||
        fail "installing the guest's packages failed (network, or a name in guest/packages)"
    mkdir -p "$root/tmp/vm-guest"
    cp "$here"/guest/* "$root/tmp/vm-guest/"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 /bin/sh /tmp/vm-guest/setup.sh ||
        fail "the guest's set-up (guest/setup.sh) failed"
    rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/resolv.conf"
    umount -R "$root/proc" "$root/sys" "$root/dev" "$root/run"
    kernel=$(find "$root/boot" -name 'vmlinuz-*' | sort -V | tail -n 1)
    [[ -n $kernel ]] || fail "no kernel in $root/boot"
    initrd=$root/boot/initrd.img-${kernel##*/vmlinuz-}
    [[ -f $initrd ]] || fail "no initial ramdisk $initrd"
    cp "$kernel" "$image/vmlinuz"
    cp "$initrd" "$image/initrd.img"
    echo "== vm image: writing the ext4 image ($size, sparse)"
    mkfs.ext4 -q -L qx7100-vm -d "$root" "$image/base.raw" "$size" ||
        fail "mkfs.ext4 -d could not write the image (e2fsprogs 1.43 or later, disk space in $cache)"
    rm -rf --one-file-system "$root"
    printf '%s\n' "$release" "$mirror" "$size" >"$image/.made"
    echo "== vm image: made in $((SECONDS - started)) s, $(du -sh "$image" | cut -f1) on disk"
} >&2
printf '%s\n' "$image"
