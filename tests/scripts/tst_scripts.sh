#!/usr/bin/env bash
# The build and test scripts, run for real on a miniature copy of the project
# (tests/scripts/mini: the same presets, options and target names, nothing
# compiled), with the package installer replaced by a recorder:
# - build-and-run.sh then test.sh runs the suites in both test stages, and
#   the rehearsal and the benchmarks stay buildable after either script;
# - a test preset fails when it finds no test;
# - build-and-run.sh starts the system's print server where systemd runs
#   (systemctl is a recorder) and says what to do elsewhere; test.sh never
#   touches it;
# - the loader is started as the user who called sudo, on that user's
#   display, and never as root;
# - build-and-run.sh starts the loader where the bench program's check passes,
#   the rehearsal otherwise (saying why and how to set the bench up), and
#   prints both commands where there is no display.
# Each case runs in a private mount namespace whose /run is a fresh tmpfs,
# with or without /run/systemd/system. Needs root (runuser, mounts).
#
#   tst_scripts.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "${1:?usage: tst_scripts.sh SOURCE_DIR}" && pwd -P)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[[ $(id -u) -eq 0 ]] || { echo "tst_scripts: needs root (a mount namespace, runuser to another user)" >&2; exit 1; }
for tool in unshare runuser cmake ctest; do
    command -v "$tool" >/dev/null || { echo "tst_scripts: $tool is missing" >&2; exit 1; }
done
unshare -m true 2>/dev/null || { echo "tst_scripts: cannot make a private mount namespace (unshare -m)" >&2; exit 1; }

work=$(mktemp -d /tmp/tst_scripts.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# A fresh copy of the miniature project, with recorders for the installer,
# systemctl and the loader.
new_project() {
    local p=$work/project
    rm -rf "$p" "${work:?}/bin"
    mkdir -p "$p/scripts" "$p/log" "$work/bin"
    : >"$p/log/calls"
    chmod 777 "$p/log"
    chmod 666 "$p/log/calls"
    cp "$source_dir"/scripts/*.sh "$p/scripts/"
    cp "$source_dir/CMakePresets.json" "$p/"
    cp "$here/mini/CMakeLists.txt" "$p/"
    cat >"$p/scripts/install-deps.sh" <<STUB
#!/bin/sh
echo "install-deps \$*" >> "$p/log/calls"
STUB
    # The package stage has tests of its own (packaging/smoke-test.sh); here it is recorded.
    mkdir -p "$p/packaging"
    cat >"$p/scripts/package.sh" <<STUB
#!/bin/sh
echo "package \$*" >> "$p/log/calls"
STUB
    cat >"$p/packaging/smoke-test.sh" <<STUB
#!/bin/sh
echo "smoke-test \$*" >> "$p/log/calls"
STUB
    # The other release's stage has its root and its tests of its own; here it is recorded.
    cat >"$p/scripts/other-release.sh" <<STUB
#!/bin/sh
echo "other-release \$*" >> "$p/log/calls"
STUB
    # The virtual bench has its guest and its checks of its own; here it is recorded.
    mkdir -p "$p/tests/vm"
    cat >"$p/tests/vm/build-image.sh" <<STUB
#!/bin/sh
echo "vm-image \$*" >> "$p/log/calls"
STUB
    cat >"$p/tests/vm/run.sh" <<STUB
#!/bin/sh
echo "vm-run \$*" >> "$p/log/calls"
STUB
    chmod 755 "$p/scripts/package.sh" "$p/packaging/smoke-test.sh" "$p/scripts/other-release.sh" \
        "$p/tests/vm/build-image.sh" "$p/tests/vm/run.sh"
    cat >"$work/bin/systemctl" <<STUB
#!/bin/sh
echo "systemctl \$*" >> "$p/log/calls"
[ "\$1" != is-active ]
STUB
    cat >"$p/loader-stub" <<STUB
#!/bin/sh
echo "loader as \$(id -un) DISPLAY=\${DISPLAY:-} HOME=\${HOME:-}" >> "$p/log/calls"
STUB
    # The bench program's check passes unless log/bench-status says otherwise.
    mkdir -p "$p/tools"
    echo 0 >"$p/log/bench-status"
    cat >"$p/bench-stub" <<STUB
#!/bin/sh
echo "bench \$* as \$(id -un) SUDO_USER=\${SUDO_USER:-}" >> "$p/log/calls"
exit "\$(cat "$p/log/bench-status")"
STUB
    cat >"$p/tools/rehearse" <<STUB
#!/bin/sh
echo "rehearsal as \$(id -un) DISPLAY=\${DISPLAY:-} HOME=\${HOME:-} build \$*" >> "$p/log/calls"
STUB
    chmod 755 "$p/scripts/install-deps.sh" "$work/bin/systemctl" "$p/loader-stub" "$p/bench-stub" \
        "$p/tools/rehearse"
}

# run SYSTEMD(yes|no) COMMAND...: runs COMMAND in the project, in a private
# mount namespace; its output goes to log/out.
run() {
    local systemd=$1
    shift
    # shellcheck disable=SC2016  # expanded by the inner shell
    (cd "$work/project" &&
        PATH="$work/bin:$PATH" unshare -m sh -c '
            mount -t tmpfs tmpfs /run || exit 97
            if [ "$0" = yes ]; then mkdir -p /run/systemd/system; fi
            exec "$@"' "$systemd" "$@") >"$work/project/log/out" 2>&1
}

calls() { cat "$work/project/log/calls" 2>/dev/null || true; }
output() { cat "$work/project/log/out"; }
expect_in() { # TEXT WHAT HOW: fails unless TEXT contains WHAT
    grep -qF -- "$2" <<<"$1" || fail "$3: expected \"$2\" in:
$1"
}
expect_not_in() {
    if grep -qF -- "$2" <<<"$1"; then fail "$3: did not expect \"$2\" in:
$1"; fi
}

# 1. build-and-run.sh, then test.sh: every suite runs in both test stages.
new_project
run yes env -u SUDO_USER scripts/build-and-run.sh || fail "build-and-run.sh failed: $(output)"
expect_in "$(calls)" "install-deps --bench" "build-and-run installs the bench packages"
(cd "$work/project" && cmake --build --preset default --target load_qx7100-rehearse bench_spy_flood) \
    >"$work/project/log/out" 2>&1 || fail "rehearsal or benchmark not buildable after build-and-run.sh: $(output)"
: >"$work/project/log/calls"
if run no scripts/test.sh; then
    expect_in "$(output)" "== all tests passed" "test.sh ends"
else
    fail "test.sh after build-and-run.sh failed: $(output)"
fi
suites=$(cat "$work/project/log/suites" 2>/dev/null || true)
expect_in "$suites" "suite ran, sanitizers OFF" "test.sh runs the suites of the default build"
expect_in "$suites" "suite ran, sanitizers ON" "test.sh runs the suites of the sanitizer build"
expect_in "$(calls)" "install-deps --tests --vm" "test.sh installs the test and virtual bench packages"
expect_in "$(calls)" "smoke-test build-deb/load-qx7100_1.00-1_amd64.deb" "test.sh builds and checks the package"
expect_in "$(calls)" "other-release" "test.sh runs the suites on the other Debian release"
expect_in "$(calls)" "vm-run" "test.sh runs the virtual bench"
expect_not_in "$(calls)" "systemctl" "test.sh never touches the system's print server"
(cd "$work/project" && cmake --build --preset default --target load_qx7100-rehearse bench_spy_flood) \
    >"$work/project/log/out" 2>&1 || fail "rehearsal or benchmark not buildable after test.sh: $(output)"

# 2. A test preset that finds no test fails.
new_project
for preset in default asan; do
    (cd "$work/project" && cmake --preset "$preset" -DLOADER_BUILD_TESTS=OFF) >"$work/project/log/out" 2>&1 ||
        fail "configure $preset: $(output)"
    if (cd "$work/project" && ctest --preset "$preset") >"$work/project/log/out" 2>&1; then
        fail "ctest --preset $preset with no tests succeeded: $(output)"
    fi
done

# 3. The print server and the loader's user, display by display.
for systemd in yes no; do
    for case in user-with-display user-without-display no-user; do
        new_project
        case $case in
        user-with-display) env=(SUDO_USER=nobody DISPLAY=:42) ;;
        user-without-display) env=(-u DISPLAY -u WAYLAND_DISPLAY SUDO_USER=nobody) ;;
        no-user) env=(-u SUDO_USER DISPLAY=:42) ;;
        esac
        what="build-and-run.sh ($case, systemd $systemd)"
        run "$systemd" env "${env[@]}" scripts/build-and-run.sh || fail "$what failed: $(output)"
        if [[ $systemd == yes ]]; then
            expect_in "$(calls)" "systemctl enable --now cups.service" "$what starts the print server"
        else
            expect_not_in "$(calls)" "systemctl" "$what without systemd"
            expect_in "$(output)" "does not run systemd" "$what says how to start the print server"
        fi
        expect_not_in "$(calls)" "loader as root" "$what never runs the loader as root"
        if [[ $case == user-with-display ]]; then
            expect_in "$(calls)" "loader as nobody DISPLAY=:42" "$what runs the loader as the user, on the display"
        else
            expect_not_in "$(calls)" "loader as" "$what"
            expect_in "$(output)" "$work/project/build/load_qx7100" "$what prints the command to run"
        fi
    done
done

# 4. The loader where the bench is ready, the rehearsal otherwise, both
# commands printed without a display.
for bench in ready missing; do
    for case in user-with-display user-without-display; do
        new_project
        [[ $bench == ready ]] || echo 1 >"$work/project/log/bench-status"
        case $case in
        user-with-display) env=(SUDO_USER=nobody DISPLAY=:42) ;;
        user-without-display) env=(-u DISPLAY -u WAYLAND_DISPLAY SUDO_USER=nobody) ;;
        esac
        what="build-and-run.sh (bench $bench, $case)"
        run yes env "${env[@]}" scripts/build-and-run.sh || fail "$what failed: $(output)"
        expect_in "$(calls)" "bench check as root SUDO_USER=nobody" "$what asks the bench program"
        expect_not_in "$(calls)" "as root DISPLAY" "$what never runs a program as root"
        if [[ $case == user-with-display && $bench == ready ]]; then
            expect_in "$(calls)" "loader as nobody DISPLAY=:42" "$what runs the loader"
            expect_not_in "$(calls)" "rehearsal as" "$what"
            expect_in "$(output)" "the bench is ready" "$what says why"
        elif [[ $case == user-with-display ]]; then
            expect_in "$(calls)" "rehearsal as nobody DISPLAY=:42 HOME=/nonexistent build $work/project/build" \
                "$what runs the rehearsal"
            expect_not_in "$(calls)" "loader as" "$what"
            expect_in "$(output)" "the bench is not ready, so this is the rehearsal" "$what says why"
            expect_in "$(output)" "sudo $work/project/build/load_qx7100-bench check" "$what says how to set it up"
        else
            expect_not_in "$(calls)" "loader as" "$what"
            expect_not_in "$(calls)" "rehearsal as" "$what"
            expect_in "$(output)" "the loader: $work/project/build/load_qx7100;" "$what prints the loader's command"
            expect_in "$(output)" "$work/project/tools/rehearse $work/project/build" \
                "$what prints the rehearsal's command"
        fi
    done
done

# 5. Which packages each use installs: every group whole. A dpkg-query that
# knows no package makes the installer, run unprivileged, list them all.
mkdir -p "$work/nopkg"
printf '#!/bin/sh\nexit 1\n' >"$work/nopkg/dpkg-query"
chmod 755 "$work/nopkg" "$work/nopkg/dpkg-query"
wants() { # OPTIONS...: the packages install-deps.sh would install
    local said
    said=$(PATH="${dpkg_dir:-$work/nopkg}:$PATH" setpriv --reuid=nobody --regid=nogroup --clear-groups \
        "$source_dir/scripts/install-deps.sh" "$@" 2>&1) || true
    sed -n 's/^install-deps: missing packages: \(.*\) (run.*/ \1 /p' <<<"$said"
}
build_group="build-essential cmake pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libcups2-dev"
bench_group="cups libqt6serialport6 libqt6widgets6 libcups2"
test_group="cups-daemon cups-client cups-filters udev xvfb xauth imagemagick openbox xdotool binutils srecord
    exfat-fuse exfatprogs libbenchmark-dev desktop-file-utils appstream lintian shellcheck clang-format
    weston qt6-wayland debootstrap"
fuzz_group="clang libclang-rt-dev"
vm_group="qemu-system-x86 qemu-utils e2fsprogs python3"
for use in "" "--bench" "--tests" "--vm" "--bench --tests --vm"; do
    # shellcheck disable=SC2086  # the options are words
    got=$(wants $use)
    expected="$build_group"
    [[ $use == *--bench* ]] && expected+=" $bench_group"
    [[ $use == *--tests* ]] && expected+=" $test_group $fuzz_group"
    [[ $use == *--vm* ]] && expected+=" $vm_group"
    for package in $expected; do
        expect_in "$got" " $package " "install-deps.sh $use installs $package"
    done
    [[ $use == *--bench* ]] || expect_not_in "$got" " cups " "install-deps.sh $use"
    [[ $use == *--vm* ]] || expect_not_in "$got" " qemu-system-x86 " "install-deps.sh $use"
done

# 5. A name that an installed package provides is present (Debian 13's
# libcups2t64 provides libcups2); a package removed but not purged is not.
mkdir -p "$work/t64"
cat >"$work/t64/dpkg-query" <<'STUB'
#!/bin/sh
# dpkg-query -W -f=FORMAT [NAME]: every package it knows, or the named one's status.
list() {
    printf 'install ok installed\tlibcups2t64\tlibcups2 (= 2.4.10-3), libcups2-compat\n'
    printf 'install ok installed\tcmake\t\n'
    printf 'deinstall ok config-files\tcups\t\n'
}
shift 2
if [ $# -eq 0 ]; then list; exit 0; fi
list | awk -F '\t' -v p="$1" '$2 == p { print $1; found = 1 } END { exit !found }'
STUB
chmod 755 "$work/t64" "$work/t64/dpkg-query"
got=$(dpkg_dir=$work/t64 wants --bench)
expect_not_in "$got" " libcups2 " "install-deps.sh takes a provided name as installed"
expect_not_in "$got" " cmake " "install-deps.sh takes an installed package as installed"
expect_in "$got" " cups " "install-deps.sh takes a removed package as missing"
expect_in "$got" " libqt6serialport6 " "install-deps.sh lists what is missing"

if ((failures > 0)); then
    echo "tst_scripts: $failures failure(s)" >&2
    exit 1
fi
echo "tst_scripts: all cases passed"
