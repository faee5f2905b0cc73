#!/usr/bin/env bash
# Smoke test of the Debian package on this machine, run as root (as in CI): installs
# it with apt without recommended packages, runs each installed program once, then
# purges it and checks that nothing it installed is left.
#
#   packaging/smoke-test.sh DEB      e.g. build-deb/load-qx7100_1.00-1_amd64.deb
#
# The rehearsal also runs for a moment, as user nobody, when cupsd is installed;
# without it, its message must name the packages it needs.
set -euo pipefail

fail() {
    echo "smoke-test: FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ $# -eq 1 ] || { echo "usage: packaging/smoke-test.sh DEB" >&2; exit 2; }
[ -f "$1" ] || fail "no package file $1"
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and purges the package"
deb=$(readlink -f "$1")
pkgdir=/usr/lib/load-qx7100

work=$(mktemp -d /tmp/smoke.XXXXXX)
chmod 0755 "$work"
policy=/usr/sbin/policy-rc.d
own_policy=false
loader_pid=
rehearse_pid=
cleanup() {
    [ -n "$loader_pid" ] && kill -KILL "$loader_pid" 2>/dev/null
    [ -n "$rehearse_pid" ] && kill -TERM "$rehearse_pid" 2>/dev/null && wait "$rehearse_pid" 2>/dev/null
    if $own_policy; then rm -f "$policy"; fi
    rm -rf "$work"
}
trap cleanup EXIT

# No service may start while packages are installed (exit 101: action forbidden).
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 0755 "$policy"
    own_policy=true
fi
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f='${Status}' load-qx7100 2>/dev/null | grep -q installed; then
    step "purging the load-qx7100 installed before"
    apt-get purge -y -qq load-qx7100 >/dev/null
fi

step "validators: desktop-file-validate, appstreamcli validate --no-net, lintian"
for tool in desktop-file-validate:desktop-file-utils appstreamcli:appstream lintian:lintian; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found: install the Debian package ${tool#*:}"
done
dpkg-deb -x "$deb" "$work/unpacked"
desktop-file-validate "$work"/unpacked/usr/share/applications/*.desktop || fail "desktop-file-validate"
# Errors fail the test; warnings and notes (which appstream 1.0 counts as a failed
# validation, 0.16 does not) are shown for the reader of the log.
appstream_said=$(appstreamcli validate --no-net "$work"/unpacked/usr/share/metainfo/*.metainfo.xml 2>&1) || true
printf '%s\n' "$appstream_said"
if grep -q '^E:' <<<"$appstream_said"; then fail "appstreamcli validate reports errors"; fi
# Errors fail the test; warnings are shown for the reader of the log.
lintian --fail-on error --allow-root "$deb" || fail "lintian reports errors"

step "control fields"
recommends=$(dpkg-deb -f "$deb" Recommends)
for wanted in cups qt6-wayland; do
    grep -Eq "(^|, )$wanted(,|$| )" <<<"$recommends" || fail "the package does not recommend $wanted: Recommends: $recommends"
done

step "apt-get install --no-install-recommends $deb"
apt-get install -y -qq --no-install-recommends "$deb" || fail "the package does not install"
dpkg -L load-qx7100 >"$work/files"

step "srec2bin --version"
[ "$(srec2bin --version)" = "srec2bin 1.00" ] || fail "srec2bin --version printed: $(srec2bin --version)"

step "srec2bin converts a file"
# One S1 record with count, address, data and checksum; $1 the address, $2 the data, both in hex.
s1() {
    local address=$1 data=$2 count sum i
    count=$((2 + ${#data} / 2 + 1))
    sum=$((count + 16#${address:0:2} + 16#${address:2:2}))
    for ((i = 0; i < ${#data}; i += 2)); do
        sum=$((sum + 16#${data:i:2}))
    done
    printf 'S1%02X%s%s%02X\r\n' "$count" "$address" "$data" $((0xFF - (sum & 0xFF)))
}
{
    s1 0000 48656C6C6F
    s1 0008 21
    echo "S9030000FC"
} >"$work/in.srec"
srec2bin "$work/in.srec" "$work/out.bin" || fail "srec2bin failed on $(cat "$work/in.srec")"
printf 'Hello\377\377\377!' >"$work/expected.bin"
cmp "$work/out.bin" "$work/expected.bin" || fail "srec2bin wrote $(od -An -tx1 "$work/out.bin")"

step "load_qx7100-bench --help"
load_qx7100-bench --help >/dev/null || fail "load_qx7100-bench --help failed"

step "the loader starts offscreen and runs until it is stopped"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work load_qx7100 >"$work/loader.log" 2>&1 &
loader_pid=$!
# Up once Qt has loaded its platform plugin (the window is made right after); then it
# must keep running for a while on its own.
for _ in $(seq 100); do
    grep -q libqoffscreen "/proc/$loader_pid/maps" 2>/dev/null && break
    kill -0 "$loader_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q libqoffscreen "/proc/$loader_pid/maps" 2>/dev/null ||
    fail "the loader did not start: $(cat "$work/loader.log")"
# Through the /usr/bin link, the program's folder (where it finds its helpers) is the private one.
[ "$(readlink "/proc/$loader_pid/exe")" = "$pkgdir/load_qx7100" ] ||
    fail "the loader runs as $(readlink "/proc/$loader_pid/exe"), not from $pkgdir"
sleep 2
kill -0 "$loader_pid" 2>/dev/null || fail "the loader ended by itself: $(cat "$work/loader.log")"
kill -TERM "$loader_pid"
status=0
wait "$loader_pid" || status=$?
loader_pid=
[ "$status" -eq 143 ] || fail "the loader ended with status $status, not by the signal: $(cat "$work/loader.log")"

step "the loader's window appears under a Wayland compositor (weston), with its caption"
# The compositor's own log of what it was told: a top-level window titled as the
# loader's, drawn (a buffer attached to a surface) by the Wayland plugin.
with_weston=$(dirname "$0")/../tests/wayland/with-weston.sh
[ -x "$with_weston" ] || fail "$with_weston is missing"
# shellcheck disable=SC2016  # expanded by the inner shell
"$with_weston" bash -c '
    load_qx7100 >"$0/wayland.log" 2>&1 &
    pid=$!
    shown=false
    for _ in $(seq 200); do
        if grep -q "set_title(\"Velantra Loader\")" "$WESTON_PROTOCOL_LOG" &&
            grep -q "wl_surface@[0-9]*\.attach(wl_buffer@" "$WESTON_PROTOCOL_LOG" &&
            grep -q libqwayland "/proc/$pid/maps"; then
            shown=true
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null
    wait "$pid"
    $shown || { cat "$0/wayland.log"; exit 1; }
' "$work" || fail "the loader's window did not appear under weston (needs the Debian packages weston, qt6-wayland)"

step "the rehearsal's programs"
command -v load_qx7100-rehearse >/dev/null || fail "load_qx7100-rehearse is not on PATH"
for program in rehearse load_qx7100-rehearse decoder-sim loader_capture_backend private-cupsd.sh srec2bin; do
    [ -x "$pkgdir/$program" ] || fail "$pkgdir/$program is missing"
done
[ -f "$pkgdir/libbinprn32.so" ] || fail "$pkgdir/libbinprn32.so is missing"
[ ! -e /usr/lib/cups/backend/loader_capture_backend ] || fail "the capture backend is in the system's CUPS backends"
load_qx7100-rehearse --help >/dev/null || fail "load_qx7100-rehearse --help failed"
"$pkgdir/decoder-sim" --help >/dev/null || fail "decoder-sim --help failed"

# exec: started in the background, the job's own pid is then the program's.
as_nobody() {
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/home" QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$work/home" "$@"
}
mkdir -p "$work/home"
chown nobody:nogroup "$work/home"
chmod 0700 "$work/home"
if command -v cupsd >/dev/null || [ -x /usr/sbin/cupsd ]; then
    step "the rehearsal runs as a user (nobody) and ends cleanly"
    as_nobody load_qx7100-rehearse </dev/null >"$work/rehearse.log" 2>&1 &
    rehearse_pid=$!
    for _ in $(seq 200); do
        grep -q '^Rehearsal:' "$work/rehearse.log" && pgrep -u nobody -f "^$pkgdir/load_qx7100-rehearse" >/dev/null && break
        kill -0 "$rehearse_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^Rehearsal:' "$work/rehearse.log" || fail "the rehearsal did not start: $(cat "$work/rehearse.log")"
    sleep 1
    kill -0 "$rehearse_pid" 2>/dev/null || fail "the rehearsal ended by itself: $(cat "$work/rehearse.log")"
    kill -TERM "$rehearse_pid"
    wait "$rehearse_pid" 2>/dev/null || true
    rehearse_pid=
    ! pgrep -u nobody -f "$pkgdir/" >/dev/null || fail "programs of the rehearsal are still running"
    folder=$(sed -n 's|^Simulator log: \(.*\)/sim.log$|\1|p' "$work/rehearse.log")
    [ -n "$folder" ] || fail "the rehearsal did not name its folder: $(cat "$work/rehearse.log")"
    ! pgrep -f "$folder/" >/dev/null || fail "the rehearsal's print server is still running"
    [ ! -e "$folder" ] || fail "the rehearsal left $folder"
else
    step "without cupsd, the rehearsal names the packages it needs"
    if (as_nobody load_qx7100-rehearse) </dev/null >"$work/rehearse.log" 2>&1; then
        fail "the rehearsal started without cupsd"
    fi
    grep -q 'cups-daemon and cups-client' "$work/rehearse.log" || fail "the message: $(cat "$work/rehearse.log")"
fi

step "apt-get purge"
apt-get purge -y -qq load-qx7100 >/dev/null || fail "the package does not purge"
left=()
while IFS= read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        # A folder may stay when another package still uses it.
        dpkg -S "$path" >/dev/null 2>&1 || left+=("$path")
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left+=("$path")
    fi
done <"$work/files"
((${#left[@]} == 0)) || fail "left after the purge: ${left[*]}"
echo "== smoke test passed"
