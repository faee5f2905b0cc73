#!/usr/bin/env bash
# Sets a bench up and starts the loader: installs what building and loading
# for real need, starts the system's print server (and has it start at boot),
# builds the loader and its rehearsal into build/ and runs one of them: the
# loader where the bench is ready (load_qx7100-bench check exits 0), otherwise
# the rehearsal, a whole loading with a simulated decoder, saying why and how
# to set the bench up.
#
# Run it as root (sudo scripts/build-and-run.sh): installing and starting the
# print server need it. Neither program ever runs as root: it runs as the
# user who called sudo, on that user's display; when there is no such user or
# no display, the commands that start them are printed instead.
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
cmake --build --preset default --target load_qx7100 srec2bin binprn32 load_qx7100-rehearse load_qx7100-bench

loader=$PWD/build/load_qx7100
rehearsal=("$PWD/tools/rehearse" "$PWD/build")
# The bench program of these sources; through sudo it checks the user who ran sudo.
bench=$PWD/build/load_qx7100-bench
if "$bench" check >/dev/null 2>&1; then
    program=("$loader")
    what="the loader"
    why="the bench is ready (load_qx7100-bench check found nothing missing)"
else
    program=("${rehearsal[@]}")
    what="the rehearsal"
    why="the bench is not ready, so this is the rehearsal with a simulated decoder; to load a real one, run sudo $bench check and do what its FAIL lines say"
fi

user=${SUDO_USER:-}
[[ $(id -u) -ne 0 ]] && user=$(id -un)
if [[ -n $user && $user != root && -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
    say "$why"
    if [[ $(id -u) -ne 0 ]]; then
        exec "${program[@]}"
    fi
    uid=$(id -u "$user")
    home=$(getent passwd "$user" | cut -d: -f6)
    environment=(HOME="$home" USER="$user" LOGNAME="$user")
    [[ -n ${DISPLAY:-} ]] && environment+=(DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-$home/.Xauthority}")
    [[ -n ${WAYLAND_DISPLAY:-} ]] && environment+=(WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
    [[ -d /run/user/$uid ]] && environment+=(XDG_RUNTIME_DIR="/run/user/$uid")
    say "starting $what as $user"
    exec runuser -u "$user" -- env "${environment[@]}" "${program[@]}"
fi
say "built; no desktop to start them on here (or no user but root). As the technician, on the desktop, start" \
    "the loader: $loader; or the rehearsal (a simulated decoder, no hardware): ${rehearsal[*]}"
say "$why"
