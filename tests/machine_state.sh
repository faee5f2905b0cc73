#!/bin/sh
# The test run leaves the machine as it found it. Before the first test (ctest's
# pre-test command) this records what tests must never change; after the last
# one it compares, and fails with the differences if anything changed.
#
#   machine_state.sh record FILE    write the state to FILE
#   machine_state.sh compare FILE   compare the state now with FILE
#
# The state: the mode, owner, group and change time of the built-in serial
# ports' nodes (udevadm test once set them on a real /dev/ttyS0; a change time
# also shows a mode set again to the same value), whether /dev/com1 and
# /dev/com2 and our udev rules exist, and every file under /run/udev (name,
# type, mode, size, time of the last change, and the content of small files).
# Where a udev daemon runs (its socket /run/udev/control), /run/udev is its own
# and changes with every device event: then only the nodes are compared.
# MACHINE_STATE_ROOT puts a prefix before every path (for a test of this script).
set -u

root=${MACHINE_STATE_ROOT:-}

state() {
    for node in /dev/ttyS0 /dev/ttyS1 /dev/com1 /dev/com2 /dev/lp0 \
        /etc/udev/rules.d/60-load-qx7100-com1.rules /etc/udev/rules.d/60-load-qx7100-com2.rules; do
        if [ -e "$root$node" ] || [ -L "$root$node" ]; then
            printf '%s %s\n' "$node" "$(stat -c '%F, mode %a, owner %U, group %G, changed %z' -- "$root$node")"
        else
            printf '%s absent\n' "$node"
        fi
    done
    if [ -S "$root/run/udev/control" ]; then
        printf '/run/udev belongs to a running udev daemon: not compared\n'
    elif [ -d "$root/run/udev" ]; then
        (cd "$root/run/udev" && find . -xdev -printf '/run/udev/%P %y %m %s %C@\n' | LC_ALL=C sort)
        (cd "$root/run/udev" && find . -xdev -type f -size -4k -exec md5sum -- {} + 2>/dev/null | LC_ALL=C sort -k 2)
    else
        printf '/run/udev absent\n'
    fi
}

case ${1:-} in
record)
    state >"$2" || exit 1
    ;;
compare)
    if [ ! -f "$2" ]; then
        printf 'machine_state.sh: no record %s: the pre-test record did not run\n' "$2" >&2
        exit 1
    fi
    now=$(state)
    if [ "$now" != "$(cat "$2")" ]; then
        {
            printf '%s\n' "THE TEST RUN CHANGED THIS MACHINE: a test (or another run on this machine meanwhile) touched a real" \
                "device node, the udev rules or /run/udev (tests must use private mount namespaces and fixture trees)." \
                "Before (-) and after (+):"
            printf '%s\n' "$now" | diff "$2" - | sed -n 's/^</-/p; s/^>/+/p'
        } >&2
        exit 1
    fi
    ;;
*)
    printf 'usage: %s record|compare FILE\n' "$0" >&2
    exit 2
    ;;
esac
