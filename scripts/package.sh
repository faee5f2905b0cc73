#!/usr/bin/env bash
# Builds the Debian package of the loader: installs what building needs (as root),
# builds the programs in build-deb/ with Debian's hardening flags and no tests, and
# writes build-deb/load-qx7100_1.00-1_amd64.deb, whose path it prints last.
#
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# Builds use every core unless the caller chose otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

if [[ $(id -u) -eq 0 ]]; then
    scripts/install-deps.sh
fi
for tool in dpkg-buildflags dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || {
        echo "package: $tool not found: install the Debian package dpkg-dev (part of build-essential)" >&2
        exit 1
    }
done

build="build-deb"
# Debian's compiler and linker flags (fortified functions, stack protector, RELRO).
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
umask 022
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOADER_BUILD_TESTS=OFF -DLOADER_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags"
cmake --build "$build"
rm -f "$build"/load-qx7100_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/load-qx7100_*.deb)
echo "$PWD/$deb"
