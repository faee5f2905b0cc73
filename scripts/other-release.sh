#!/usr/bin/env bash
# Runs the tests on the other supported Debian release than the machine's own
# (Debian 12 "bookworm" and Debian 13 "trixie"), in a root made with debootstrap:
# installs there what the tests need (install-deps.sh --tests), builds a copy of
# this tree, runs every suite of the default build, makes the package with
# package.sh, installs it with apt and runs its smoke test, and keeps that
# package in build-deb/RELEASE/. Run as root.
#
#   scripts/other-release.sh
#
# The root is made once and kept in $LOADER_ROOT_CACHE (default
# /var/cache/load-qx7100-test), in a folder named after its release and a hash
# of the recipe below: a changed recipe makes a new root, and the old ones of
# that release are removed. The packages the tests need stay installed in it
# between runs. Every mount is made in a private mount namespace of this script
# and undone on every exit. Exits 0 only when every step passed.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
source_dir=$PWD

fail() {
    printf 'other-release: %s\n' "$*" >&2
    exit 1
}

[[ $(id -u) -eq 0 ]] || fail "run as root (debootstrap, chroot, mounts)"

# The machine's release and the other one.
# shellcheck disable=SC1091  # the machine's own file
codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
case $codename in
bookworm) other=trixie ;;
trixie) other=bookworm ;;
*) fail "this machine runs \"$codename\"; the tests know Debian 12 (bookworm) and Debian 13 (trixie) only" ;;
esac

for tool in debootstrap:debootstrap unshare:util-linux chroot:coreutils sha256sum:coreutils; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found: install the Debian package ${tool#*:}"
done

# The whole recipe of the root: changing any of it makes a new root.
mirror=${LOADER_DEBIAN_MIRROR:-http://deb.debian.org/debian}
recipe="debootstrap --variant=minbase --components=main $other ROOT $mirror
sources: deb $mirror $other main; deb $mirror $other-updates main; deb http://security.debian.org/debian-security $other-security main
apt: no recommends, no suggests
locale: C.UTF-8"
key=$(printf '%s' "$recipe" | sha256sum | cut -c1-16)
cache=${LOADER_ROOT_CACHE:-/var/cache/load-qx7100-test}
root=$cache/$other-$key

# Everything below runs in a private mount namespace: no mount made here is
# seen by the machine, and none outlives the script even when it is killed.
if [[ ${LOADER_OTHER_RELEASE_NS:-} != "$$" ]]; then
    exec unshare --mount --propagation private env LOADER_OTHER_RELEASE_NS="$$" "$self" "$@"
fi

mkdir -p "$cache"
# One run at a time uses or makes the cached roots.
exec 9>"$cache/lock"
flock 9

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mount_at() { # mount ARGS... TARGET: mounts and remembers TARGET for cleanup
    mount "$@"
    mounted+=("${!#}")
}

started=$SECONDS
if [[ ! -f $root/.made ]]; then
    echo "== making a Debian $other root in $root"
    for old in "$cache/$other"-*; do
        [[ -e $old && $old != "$root" ]] && rm -rf --one-file-system "$old"
    done
    rm -rf --one-file-system "$root"
    debootstrap --variant=minbase --components=main "$other" "$root" "$mirror" ||
        fail "debootstrap of Debian $other failed (network, mirror $mirror)"
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb http://security.debian.org/debian-security %s-security main\n' \
        "$mirror" "$other" "$mirror" "$other" "$other" >"$root/etc/apt/sources.list"
    printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' >"$root/etc/apt/apt.conf.d/90no-recommends"
    printf '%s\n' "$recipe" >"$root/.made"
    echo "== the root was made in $((SECONDS - started)) s"
else
    echo "== using the Debian $other root in $root"
fi

# The root is a mount point of its own, so that the suites can make private
# mount namespaces inside it; the kernel's file systems are the machine's.
mount_at --bind "$root" "$root"
mount_at -t proc proc "$root/proc"
mount_at --rbind /sys "$root/sys"
mount_at --bind /dev "$root/dev"
mount_at --bind /dev/pts "$root/dev/pts"
mount_at -t tmpfs tmpfs "$root/dev/shm"
mount_at -t tmpfs tmpfs "$root/run"
# What the system makes in a fresh /run at boot (/var/lock leads to /run/lock).
install -d -m 1777 "$root/run/lock"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# A copy of this tree without its build folders, under a folder every user
# may enter (suites run programs of the tree as nobody).
src=/srv/load-qx7100
rm -rf --one-file-system "${root:?}$src"
mkdir -p "$root$src"
chmod 755 "$root/srv" "$root$src"
tar -C "$source_dir" --exclude='./build' --exclude='./build-*' --exclude='./.git' -cf - . | tar -C "$root$src" -xf -

# shellcheck disable=SC2016  # expanded in the root
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM=dumb QT_QPA_PLATFORM=offscreen CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    /bin/bash -euo pipefail -c '
cd "$0"
. /etc/os-release
echo "== Debian $VERSION_ID ($VERSION_CODENAME): installing what the tests need (at ${SECONDS} s)"
scripts/install-deps.sh --tests
echo "== Debian $VERSION_ID: default build (no benchmarks) (at ${SECONDS} s)"
cmake --preset default -DLOADER_BUILD_TESTS=ON -DLOADER_BUILD_BENCH=OFF
cmake --build --preset default
echo "== Debian $VERSION_ID: every suite (at ${SECONDS} s)"
ctest --preset default -j2
echo "== Debian $VERSION_ID: package, install, smoke test (at ${SECONDS} s)"
scripts/package.sh
packaging/smoke-test.sh build-deb/load-qx7100_1.00-1_amd64.deb
echo "== Debian $VERSION_ID: all tests passed (at ${SECONDS} s)"
' "$src" 9>&-
# The package built for that release is kept (the virtual bench installs the
# Debian 13 one): build-deb/RELEASE/ of this tree.
mkdir -p "build-deb/$other"
rm -f "build-deb/$other"/load-qx7100_*.deb
cp "$root$src"/build-deb/load-qx7100_*.deb "build-deb/$other/"
rm -rf --one-file-system "${root:?}$src"
echo "== the other release's stage took $((SECONDS - started)) s"
