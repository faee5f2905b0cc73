#!/usr/bin/env bash
# Sets a bench up and starts the loader: installs what building and loading
# for real need, starts the system's print server (and has it start at boot),
# builds the loader into build/ and runs it.
#
# Run it as root (sudo scripts/build-and-run.sh): installing and starting the
# print server need it. The loader itself never runs as root: it runs as the
# user who called sudo, on that user's display; when there is no such user or
# no display, the command that starts it is printed instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# Builds use every core unless the caller chose otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

say() {
    echo "build-and-run: $*" >&2
}

scripts/install-deps.sh --bench

# The print server: on a bench it must run now and after every boot.
if [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
    if [[ $(id -u) -eq 0 ]]; then
        systemctl enable --now cups.service ||
            say "the print server did not start: see 'systemctl status cups' and 'journalctl -u cups'"
    elif ! systemctl is-active --quiet cups.service; then
        say "the print server is not running: as root, run: systemctl enable --now cups"
    fi
else
    say "this system does not run systemd: start the print server with the system's own service" \
        "manager (for instance, as root: service cups start) and have it start at boot."
fi

# Tests and benchmarks stay configured (nothing of them is built here), so that
# the rehearsal, the benchmarks and scripts/test.sh all work in this build folder.
cmake --preset default -DLOADER_BUILD_TESTS=ON -DLOADER_BUILD_BENCH=ON
cmake --build --preset default --target load_qx7100 srec2bin binprn32

loader=$PWD/build/load_qx7100
if [[ $(id -u) -ne 0 ]]; then
    exec "$loader"
fi
user=${SUDO_USER:-}
if [[ -n $user && $user != root && -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
    uid=$(id -u "$user")
    home=$(getent passwd "$user" | cut -d: -f6)
    environment=(HOME="$home" USER="$user" LOGNAME="$user")
    [[ -n ${DISPLAY:-} ]] && environment+=(DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-$home/.Xauthority}")
    [[ -n ${WAYLAND_DISPLAY:-} ]] && environment+=(WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
    [[ -d /run/user/$uid ]] && environment+=(XDG_RUNTIME_DIR="/run/user/$uid")
    say "starting the loader as $user"
    exec runuser -u "$user" -- env "${environment[@]}" "$loader"
fi
say "built; the loader does not run as root. Start it as the technician, on the desktop: $loader"
