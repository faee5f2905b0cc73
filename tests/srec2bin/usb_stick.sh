#!/bin/sh
# A USB stick for the converter's tests: an exFAT file system in an image file, attached to a loop
# device and mounted through FUSE for everyone (owner root, umask=000), as a desktop or an fstab
# line mounts a stick, inside a private mount namespace that no other process sees.
# Prints "ready PID MOUNTPOINT" once mounted (PID is a process inside the namespace, for nsenter
# and /proc/PID/root), then keeps the stick until its standard input closes. Unmounts and detaches
# the loop device on every exit. Needs root, util-linux, exfatprogs, exfat-fuse and /dev/fuse.
# Usage: tests/srec2bin/usb_stick.sh FOLDER   (the image and the mount point are made in FOLDER)
set -u

fail() {
    echo "usb_stick: $*" >&2
    exit 1
}

[ $# -eq 1 ] || fail "usage: $0 FOLDER"
[ "$(id -u)" -eq 0 ] || fail "needs root (a loop device and a mount)"
for need in losetup:util-linux unshare:util-linux nsenter:util-linux setpriv:util-linux \
    mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse; do
    command -v "${need%%:*}" >/dev/null 2>&1 || fail "${need%%:*} not found: install the Debian package ${need#*:}"
done
[ -c /dev/fuse ] || fail "FUSE is not available: there is no /dev/fuse"

image=$1/stick.img
mountpoint=$1/stick
mkdir -p "$mountpoint" || fail "cannot make the mount point $mountpoint"
truncate -s 32M "$image" || fail "cannot make the image $image"
mkfs.exfat -L STICK "$image" >/dev/null || fail "mkfs.exfat failed on $image"

# Only the devices that still hold our image are detached: once freed, a number may be another's.
detach() {
    for device in $(losetup -n -O NAME -j "$image"); do
        losetup -d "$device"
    done
}
trap detach EXIT
trap 'exit 1' HUP INT TERM
device=$(losetup -f --show "$image") || fail "no loop device could be attached (losetup -f --show)"

# The inner script gets the device and the mount point as its arguments.
# shellcheck disable=SC2016
unshare -m --propagation private sh -c '
    mount.exfat-fuse -o allow_other,uid=0,umask=000 "$1" "$2" >&2 \
        || { echo "usb_stick: mount.exfat-fuse could not mount $1 on $2" >&2; exit 1; }
    # Freed by the kernel as soon as the file system lets go of it, whatever becomes of us.
    losetup -d "$1"
    echo "ready $$ $2"
    cat >/dev/null
    umount "$2"
' sh "$device" "$mountpoint" || fail "the stick could not be mounted in a private mount namespace (unshare -m)"
