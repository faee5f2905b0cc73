#!/usr/bin/env bash
# Installs the Debian packages that building (and, with --tests, testing) the
# loader needs. Run as root. Packages already present are not fetched again.
set -euo pipefail

build=(build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libcups2-dev)
tests=(cups-daemon cups-client cups-filters xvfb xauth imagemagick binutils srecord libbenchmark-dev
       clang libclang-rt-14-dev exfat-fuse exfatprogs)
# The package's checks: its desktop entry, AppStream metadata and lintian.
tests+=(desktop-file-utils appstream lintian)

wanted=("${build[@]}")
if [[ "${1:-}" == "--tests" ]]; then
    wanted+=("${tests[@]}")
fi

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
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
# The print server package must not start the machine's own print server:
# the tests run a private one. policy-rc.d keeps maintainer scripts from
# starting services while the packages are installed.
policy=/usr/sbin/policy-rc.d
restore_policy=false
if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    restore_policy=true
fi
trap '$restore_policy && rm -f "$policy"' EXIT
apt-get install -y -qq --no-install-recommends "${missing[@]}"
