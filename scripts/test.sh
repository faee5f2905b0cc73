#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the default
# build, the same suites under AddressSanitizer and UndefinedBehaviorSanitizer,
# the converter's fuzz target for a bounded time, and the package; then the
# default suites and the package on the other supported Debian release, in a
# root of its own (scripts/other-release.sh); last the virtual bench, a
# Debian 13 guest in QEMU that carries a whole loading through the real drivers
# (tests/vm/run.sh). Exits 0 only when every step passed.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
# Builds use every core unless the caller chose otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

scripts/install-deps.sh --tests --vm

# The virtual bench's guest image is mostly download and disk work: it is made
# (once, then cached) while the two builds below use the processors, and
# waited for before any suite runs, so that no suite shares the machine with
# it. The bench's own stage at the end makes it itself if this one failed.
mkdir -p build
setsid tests/vm/build-image.sh >build/vm-image.log 2>&1 &
vm_image_pid=$!
# shellcheck disable=SC2317  # run by the trap
stop_vm_image() {
    kill -- "-$vm_image_pid" 2>/dev/null || true
}
trap stop_vm_image EXIT

# The suites are switched on whatever an earlier configure of the same build
# folder chose (scripts/build-and-run.sh builds only the programs); the test
# presets fail when they find no test.
echo "== default build"
cmake --preset default -DLOADER_BUILD_TESTS=ON -DLOADER_BUILD_BENCH=ON
cmake --build --preset default

echo "== sanitizer build"
cmake --preset asan -DLOADER_BUILD_TESTS=ON
cmake --build --preset asan

echo "== waiting for the virtual bench's guest image (build/vm-image.log)"
wait "$vm_image_pid" || echo "== the guest image made in the background failed (build/vm-image.log): the virtual bench makes it again"
trap - EXIT

echo "== default suites"
ctest --preset default

echo "== sanitizer suites"
ctest --preset asan

if [[ -x srec2bin/fuzz/run-fuzz.sh ]]; then
    echo "== fuzzing the S-record parser"
    cmake --preset fuzz
    cmake --build --preset fuzz --target fuzz_srec2bin
    srec2bin/fuzz/run-fuzz.sh build-fuzz 60
fi
echo "== Debian package: build, install, smoke test, purge"
scripts/package.sh
packaging/smoke-test.sh build-deb/load-qx7100_1.00-1_amd64.deb

echo "== the other Debian release"
scripts/other-release.sh

echo "== the virtual bench (Debian 13 guest, QEMU)"
tests/vm/run.sh

echo "== all tests passed"
