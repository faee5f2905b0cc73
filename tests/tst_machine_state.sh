#!/bin/sh
# The whole-run check of the machine's state (machine_state.sh) sees a change:
# on a fixture tree, a node's mode, a file written under /run/udev, a rule added.
#
#   tst_machine_state.sh MACHINE_STATE_SCRIPT
set -u
script=$1
root=$(mktemp -d /tmp/machine-state.XXXXXX)
trap 'rm -rf "$root"' EXIT
failures=0
fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}
mkdir -p "$root/dev" "$root/etc/udev/rules.d"
: >"$root/dev/ttyS0"
chmod 0600 "$root/dev/ttyS0"
export MACHINE_STATE_ROOT="$root"
sh "$script" record "$root/record" || fail "record"
sh "$script" compare "$root/record" 2>/dev/null || fail "nothing changed, yet a change was reported"
chmod 0660 "$root/dev/ttyS0"
out=$(sh "$script" compare "$root/record" 2>&1) && fail "a node's mode changed unseen"
printf '%s\n' "$out" | grep -q '^+ /dev/ttyS0 .*mode 660' || fail "the change is not shown: $out"
chmod 0600 "$root/dev/ttyS0"
mkdir -p "$root/run/udev/data"
out=$(sh "$script" compare "$root/record" 2>&1) && fail "/run/udev made, unseen"
sh "$script" record "$root/record"
echo "E:ID_X=1" >"$root/run/udev/data/c4:64"
sh "$script" compare "$root/record" 2>/dev/null && fail "a file written under /run/udev, unseen"
sh "$script" record "$root/record"
sleep 0.01
echo "E:ID_X=1" >"$root/run/udev/data/c4:64"
sh "$script" compare "$root/record" 2>/dev/null && fail "a file under /run/udev written again with the same content, unseen"
sh "$script" record "$root/record"
sleep 0.01
chmod 0600 "$root/dev/ttyS0"
sh "$script" compare "$root/record" 2>/dev/null && fail "a node's mode set again to the same value, unseen"
sh "$script" record "$root/record"
: >"$root/etc/udev/rules.d/60-load-qx7100-com1.rules"
sh "$script" compare "$root/record" 2>/dev/null && fail "a rule added, unseen"
printf '%s failure(s)\n' "$failures"
[ "$failures" -eq 0 ]
