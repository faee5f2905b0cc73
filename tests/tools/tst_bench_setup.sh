#!/bin/bash
# The bench set-up program load_qx7100-bench against a bench built of fixture
# trees: /sys with USB serial adapters (with and without a serial number, two
# ports, CDC ACM), a PCI serial card, built-in ports with and without a UART;
# /dev of links; /etc with the udev rules folder; /proc with chosen programs;
# a private print server with the real parallel backend of cups-filters.
# `check` runs as user nobody (setpriv) with the groups each case needs; rules
# go through udev's own parser in a private mount namespace whose /dev, /run and
# /sys are its own too (udevadm test sets the modes of device nodes and writes
# /run/udev). Nothing of the machine's /etc/udev/rules.d, /dev, /run, print
# queues or ports is touched. Hostile devices and files (USB strings made to
# break out of a rule, control characters, a FIFO as the user's printer
# defaults, links planted by another user) must change nothing they should not.
#
#   tst_bench_setup.sh BENCH_PROGRAM PRIVATE_CUPSD_SCRIPT

set -u
bench=$1 cupsd_script=$2
failures=0
cases=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

need() {
    command -v "$1" >/dev/null 2>&1 || PATH=$PATH:/usr/sbin command -v "$1" >/dev/null 2>&1 ||
        { echo "FAIL: $1 not found: install the Debian package $2"; exit 1; }
}
need setpriv util-linux
need unshare util-linux
need udevadm udev
need lpadmin cups-client
need cupsd cups-daemon
[ -x /usr/lib/cups/backend/parallel ] ||
    { echo "FAIL: the parallel backend is missing: install the Debian package cups-filters"; exit 1; }
[ "$(id -u)" -eq 0 ] ||
    { echo "FAIL: this test needs root (it drops to nobody for the user's side, and uses a mount namespace)"; exit 1; }
PATH=$PATH:/usr/sbin

work=$(mktemp -d /tmp/bench-setup.XXXXXX)
chmod 0755 "$work"
cups=$work/cups
cups2=$work/cups2
cleanup() {
    kill -CONT "$(cat "$cups/cupsd.pid" 2>/dev/null)" 2>/dev/null
    "$cupsd_script" stop "$cups" >/dev/null 2>&1
    "$cupsd_script" stop "$cups2" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# ---- fixture trees ------------------------------------------------------------------

S=$work/sys D=$work/dev E=$work/etc P=$work/proc H=$work/home R=$work/run
mkdir -p "$S/class/tty" "$D/usb" "$D/serial/by-id" "$D/pts" "$E/udev/rules.d" "$E/cups" "$P/1" "$H" "$R"
echo init >"$P/1/comm"

# add_tty NAME DEVPATH [PARENT] [TYPE]: a tty under $S/DEVPATH/tty/NAME whose
# device is $S/PARENT, and a node /dev/NAME (a link to /dev/null, a character device).
add_tty() {
    local name=$1 devpath=$2 parent=${3:-} type=${4:-}
    mkdir -p "$S/$devpath/tty/$name"
    echo "188:0" >"$S/$devpath/tty/$name/dev"
    [ -n "$parent" ] && ln -s "$S/$parent" "$S/$devpath/tty/$name/device"
    [ -n "$type" ] && echo "$type" >"$S/$devpath/tty/$name/type"
    ln -s "$S/$devpath/tty/$name" "$S/class/tty/$name"
    ln -s /dev/null "$D/$name"
}

# add_usb SOCKET VENDOR PRODUCT SERIAL MANUFACTURER PRODUCTNAME: a USB device.
usb_root=devices/pci0000:00/0000:00:14.0/usb1
add_usb() {
    local dir=$S/$usb_root/$1
    mkdir -p "$dir"
    echo "$2" >"$dir/idVendor"
    echo "$3" >"$dir/idProduct"
    [ -n "$4" ] && echo "$4" >"$dir/serial"
    echo "$5" >"$dir/manufacturer"
    echo "$6" >"$dir/product"
}

# add_usb_serial SOCKET INTERFACE NAME [PORT]: a usb-serial port (ttyUSB) on
# interface INTERFACE, the interface's port PORT (default 0).
add_usb_serial() {
    local iface=$usb_root/$1/$1:1.$2
    mkdir -p "$S/$iface"
    printf '%02d\n' "$2" >"$S/$iface/bInterfaceNumber"
    mkdir -p "$S/$iface/$3"
    echo "${4:-0}" >"$S/$iface/$3/port_number"
    add_tty "$3" "$iface/$3" "$iface/$3"
}

add_tty ttyS0 devices/pnp0/00:05 devices/pnp0/00:05 0          # a phantom: no UART
mkdir -p "$S/devices/platform/serial8250"
add_tty ttyS1 devices/platform/serial8250 devices/platform/serial8250 4
add_tty ttyS2 devices/platform/serial8250 devices/platform/serial8250 0
add_tty ttyS3 devices/platform/serial8250 devices/platform/serial8250 0
mkdir -p "$S/devices/pci0000:00/0000:00:1c.0/0000:03:00.0"
add_tty ttyS4 devices/pci0000:00/0000:00:1c.0/0000:03:00.0 devices/pci0000:00/0000:00:1c.0/0000:03:00.0 4
add_tty ttyS5 devices/pci0000:00/0000:00:1c.0/0000:03:00.0 devices/pci0000:00/0000:00:1c.0/0000:03:00.0 4
add_usb 1-2 0403 6001 A50285BI FTDI "FT232R USB UART"
add_usb_serial 1-2 0 ttyUSB0
add_usb 1-3 1a86 7523 "" QinHeng "USB Serial"
add_usb_serial 1-3 0 ttyUSB1
add_usb 1-4 0403 6010 FT4XYZ FTDI "Dual RS232-HS"
add_usb_serial 1-4 0 ttyUSB2
add_usb_serial 1-4 1 ttyUSB3
add_usb 1-6 9710 7840 MOS4 MosChip "4-port serial"
for p in 0 1 2 3; do
    add_usb_serial 1-6 0 "ttyUSB$((4 + p))" "$p"
done
add_usb 1-5 2341 0043 ACM77 Acme "CDC serial"
mkdir -p "$S/$usb_root/1-5/1-5:1.0"
echo 00 >"$S/$usb_root/1-5/1-5:1.0/bInterfaceNumber"
add_tty ttyACM0 "$usb_root/1-5/1-5:1.0" "$usb_root/1-5/1-5:1.0"
mkdir -p "$S/devices/virtual/tty"
add_tty tty0 devices/virtual/tty
ln -s ../../ttyUSB0 "$D/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
ln -s /dev/null "$D/pts/0"
ln -s /dev/null "$D/sda"
chmod -R a+rX "$work"

export LOADER_BENCH_DEV=$D LOADER_BENCH_SYS=$S LOADER_BENCH_ETC=$E LOADER_BENCH_PROC=$P LOADER_BENCH_RUN=$R
bench_as_root() {
    env -u SUDO_USER -u PKEXEC_UID "$bench" "$@"
}

# ---- com1 / com2 ----------------------------------------------------------------------

rules=$work/rules
# com_case NAME STATUS COMMAND DEVICE [RULE-TEXT|-] [MESSAGE]: runs COMMAND DEVICE
# into a fresh rules folder; on status 0 the rule file must hold RULE-TEXT; on any
# other status no file may be written and the message must contain MESSAGE.
com_case() {
    local name=$1 want=$2 command=$3 device=$4 text=${5:--} message=${6:-} out rc file
    cases=$((cases + 1))
    rm -rf "$rules" && mkdir -p "$rules"
    out=$(bench_as_root "$command" "$device" --rules-dir "$rules" --no-trigger 2>&1)
    rc=$?
    file=$rules/60-load-qx7100-$command.rules
    [ "$rc" -eq "$want" ] || { fail "$name: exit status $rc, expected $want: $out"; return; }
    if [ "$want" -eq 0 ]; then
        [ -f "$file" ] || { fail "$name: no rule file written: $out"; return; }
        grep -qF -- "$text" "$file" || fail "$name: rule lacks $text: $(cat "$file")"
    else
        [ -z "$(ls -A "$rules")" ] || fail "$name: a refused device left files: $(ls -A "$rules")"
    fi
    [ -z "$message" ] || grep -qF -- "$message" <<<"$out" || fail "$name: message lacks \"$message\": $out"
}

com_case "adapter with a serial number" 0 com1 /dev/ttyUSB0 \
    'SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", ATTRS{serial}=="A50285BI", SYMLINK+="com1", ENV{ID_MM_DEVICE_IGNORE}="1"' \
    "COM1 is /dev/ttyUSB0"
grep -q KERNELS "$rules/60-load-qx7100-com1.rules" && fail "adapter with a serial number: matched by socket too"
# The rule of each kind of port and each refusal are rows of tst_bench_rules;
# here the whole program: its exit status, and no file left by a refusal.
com_case "phantom built-in port" 1 com1 /dev/ttyS0 - "no UART behind it"
com_case "adapter named by its by-id link" 0 com1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 \
    'ATTRS{serial}=="A50285BI", SYMLINK+="com1"'
com_case "no device given" 2 com1 "" - "which device?"

cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
echo 'KERNEL=="ttyS9", SYMLINK+="com1"' >"$rules/60-load-qx7100-com1.rules"
out=$(bench_as_root com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger 2>&1) && fail "foreign rule: overwritten: $out"
grep -qF "was not written by load_qx7100-bench" <<<"$out" || fail "foreign rule: message: $out"
[ "$(cat "$rules/60-load-qx7100-com1.rules")" = 'KERNEL=="ttyS9", SYMLINK+="com1"' ] || fail "foreign rule: changed"

cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
bench_as_root com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger >/dev/null 2>&1 || fail "replace: first rule"
out=$(bench_as_root com1 /dev/ttyACM0 --rules-dir "$rules" --no-trigger 2>&1) || fail "replace: own rule refused: $out"
grep -qF "Replaced" <<<"$out" || fail "replace: message: $out"
grep -qF 'ATTRS{serial}=="ACM77"' "$rules/60-load-qx7100-com1.rules" || fail "replace: old rule kept"
out=$(bench_as_root com2 /dev/ttyACM0 --rules-dir "$rules" --no-trigger 2>&1) && fail "same port as COM1 and COM2: $out"
grep -qF "is COM1 already" <<<"$out" || fail "same port twice: message: $out"

cases=$((cases + 1))
out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env "LOADER_BENCH_DEV=$D" "LOADER_BENCH_SYS=$S" \
    "LOADER_BENCH_ETC=$E" "$bench" com1 /dev/ttyUSB0 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && grep -qF "must be run as root" <<<"$out"; } || fail "com1 not as root: status $rc: $out"
[ -z "$(ls -A "$E/udev/rules.d")" ] || fail "com1 not as root: wrote a rule"

# ---- udev parses the rules --------------------------------------------------------------

# A device of this machine to test the rules on (they need not match it).
udev_dev=
for d in /sys/class/tty/ttyS0 /sys/class/tty/tty /sys/class/tty/console /sys/class/mem/null; do
    [ -e "$d" ] && { udev_dev=$d; break; }
done
[ -n "$udev_dev" ] || { echo "FAIL: no device in /sys/class/tty or /sys/class/mem for udevadm test"; exit 1; }

# udev_test DIR: udevadm test with DIR bound over /etc/udev/rules.d, in a private
# mount namespace where /dev is a tmpfs of its own (null, zero, full, random,
# urandom bound in), /run a tmpfs and /sys read-only: udevadm test sets the mode
# and group of the device's node and writes /run/udev, and must reach neither of
# the machine's. Prints what udevadm said.
udev_test() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private sh -c '
        set -e
        stage=$(mktemp -d "$3/dev.XXXXXX")
        mount -t tmpfs -o mode=0755,size=1m tmpfs "$stage"
        for d in null zero full random urandom; do
            : >"$stage/$d"
            mount --bind "/dev/$d" "$stage/$d"
        done
        mount --move "$stage" /dev
        mount -t tmpfs -o mode=0755,size=4m tmpfs /run
        mkdir /run/udev
        mount --bind /sys /sys
        mount -o remount,bind,ro /sys
        mount --bind "$1" /etc/udev/rules.d
        udevadm test --action=add "$2"' sh "$1" "$udev_dev" "$work" 2>&1
}

# udev_parse DIR: prints udev's complaints about our rule files in DIR.
udev_parse() {
    local out
    out=$(udev_test "$1") || { echo "udevadm test failed: $out"; return; }
    for f in "$1"/*.rules; do
        grep -qF "Reading rules file: /etc/udev/rules.d/${f##*/}" <<<"$out" || echo "not read: ${f##*/}"
    done
    grep -E '60-load-qx7100-com[12]\.rules:[0-9]+ ' <<<"$out"
}
[ -d /etc/udev/rules.d ] || { echo "FAIL: /etc/udev/rules.d missing: install the Debian package udev"; exit 1; }
unshare -m true 2>/dev/null || { echo "FAIL: cannot make a private mount namespace (unshare -m)"; exit 1; }
# The namespace is really private: udevadm test there leaves the machine's /dev and /run alone.
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
printf '%s\n' 'SUBSYSTEM=="tty", MODE="0604", GROUP="nogroup", RUN+="/bin/true"' >"$rules/60-load-qx7100-com1.rules"
before_dev=$(stat -c '%a %G' /dev/ttyS0 2>&1) before_run=$(ls -la /run/udev 2>&1)
out=$(udev_test "$rules")
grep -qF "60-load-qx7100-com1.rules" <<<"$out" || fail "private udev test: the rule was not read: $out"
[ "$(stat -c '%a %G' /dev/ttyS0 2>&1)" = "$before_dev" ] || fail "private udev test: /dev/ttyS0 changed: $before_dev -> $(stat -c '%a %G' /dev/ttyS0 2>&1)"
[ "$(ls -la /run/udev 2>&1)" = "$before_run" ] || fail "private udev test: /run/udev changed"

for pair in "ttyUSB0 ttyUSB1" "ttyUSB3 ttyS4" "ttyACM0 ttyUSB6"; do
    cases=$((cases + 1))
    read -r first second <<<"$pair"
    rm -rf "$rules" && mkdir -p "$rules"
    bench_as_root com1 "/dev/$first" --rules-dir "$rules" --no-trigger >/dev/null 2>&1 || fail "udev: com1 $first refused"
    bench_as_root com2 "/dev/$second" --rules-dir "$rules" --no-trigger >/dev/null 2>&1 || fail "udev: com2 $second refused"
    complaints=$(udev_parse "$rules")
    [ -z "$complaints" ] || fail "udev complains about the rules for $first and $second: $complaints"
done
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
printf '%s\n' 'SUBSYSTEM=="tty", ATTRS{idVendor}="0403", SYMLINK+="com1"' 'SUBSYSTEM=="tty" KERNEL "x"' \
    >"$rules/60-load-qx7100-com1.rules"
complaints=$(udev_parse "$rules")
grep -qF "Invalid" <<<"$complaints" || fail "udev: a bad rule went unnoticed: $complaints"

# ---- hostile devices ---------------------------------------------------------------------

# A bench of adapters whose USB strings and names are made to break out of the
# rule or to drive the terminal. Each must give a rule whose only lines that
# are not comments are the ones the program means, every matched value from a
# strict character set, and no control character in the rule or on the terminal.
HS=$work/hsys HD=$work/hdev
mkdir -p "$HS/class/tty" "$HD"
# shellcheck disable=SC2016 # the texts are meant literally
inject='x\nSUBSYSTEM=="tty", RUN+="/bin/touch /tmp/bench-injected"\n#'
esc=$'Evil\e[2J\e]0;owned\a Corp'
long=$(printf 'L%.0s' $(seq 4000))
# hadd SOCKET VENDOR PRODUCT SERIAL MANUFACTURER PRODUCTNAME TTY: a one-port adapter.
hadd() {
    local dir=$HS/$usb_root/$1 iface
    mkdir -p "$dir"
    printf '%s\n' "$2" >"$dir/idVendor"
    printf '%s\n' "$3" >"$dir/idProduct"
    [ -n "$4" ] && printf '%s\n' "$4" >"$dir/serial"
    printf '%s\n' "$5" >"$dir/manufacturer"
    printf '%s\n' "$6" >"$dir/product"
    iface=$dir/$1:1.0
    mkdir -p "$iface/$7/tty/$7"
    echo 00 >"$iface/bInterfaceNumber"
    echo 0 >"$iface/$7/port_number"
    ln -s "$iface/$7" "$iface/$7/tty/$7/device"
    ln -s "$iface/$7/tty/$7" "$HS/class/tty/$7"
    ln -s /dev/null "$HD/$7"
}
hadd 2-1 0403 6001 GOOD1 FTDI "$inject" ttyUSB10
# shellcheck disable=SC2016 # the texts are meant literally
hadd 2-2 0403 6001 'X\nRUN+="/bin/touch /tmp/bench-injected"' FTDI "FT232R USB UART" ttyUSB11
hadd 2-3 0403 6001 'AB"CD' FTDI "FT232R USB UART" ttyUSB12
hadd 2-4 0403 6001 '50%' FTDI "FT232R USB UART" ttyUSB13
# shellcheck disable=SC2016 # the texts are meant literally
hadd 2-5 0403 6001 '$devpath' FTDI "FT232R USB UART" ttyUSB14
hadd 2-6 0403 6001 'A5*' FTDI "FT232R USB UART" ttyUSB15
hadd 2-7 0403 6001 "$long" FTDI "FT232R USB UART" ttyUSB16
hadd 2-8 0403 6001 GOOD8 "$esc" "FT232R USB UART" ttyUSB17
# shellcheck disable=SC1003 # a backslash meant literally
hadd 2-9 0403 6001 GOOD9 FTDI 'Half\cHidden' ttyUSB18
hadd 2-10 0403 6001 GOOD10 FTDI "$long" ttyUSB19
hadd 2-11 '04"3' 6001 GOOD11 FTDI "FT232R USB UART" ttyUSB20
hadd 2-12 0403 6001 $'TAB\tESC\e' FTDI "FT232R USB UART" ttyUSB21
# A PCI card whose port has a name made to break out of the rule.
pci_bad='ttyS9", RUN+="bench-injected'
pci_card=$HS/devices/pci0000:00/0000:00:1c.0/0000:04:00.0
mkdir -p "$pci_card/tty/$pci_bad"
ln -s "$pci_card" "$pci_card/tty/$pci_bad/device"
echo 4 >"$pci_card/tty/$pci_bad/type"
ln -s "$pci_card/tty/$pci_bad" "$HS/class/tty/$pci_bad"
ln -s /dev/null "$HD/$pci_bad"
chmod -R a+rX "$HS" "$HD"

# rule_is_sound FILE: prints what is wrong with the rule file, if anything. Its
# lines that are not comments must be match and assignment keys of tty devices
# whose values are letters, digits and '.', '_', '-' (and udev's own $attr{}).
rule_is_sound() {
    local line
    LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' "$1" && { echo "control characters in the rule"; return; }
    while IFS= read -r line; do
        case $line in
        "#"* | "") continue ;;
        esac
        LC_ALL=C grep -qE '^SUBSYSTEM=="tty"(, [A-Za-z_.{}]+(==|\+?=)"[A-Za-z0-9._$:{}-]*")*$' <<<"$line" ||
            { echo "a rule line that is not ours: $line"; return; }
        grep -qF 'RUN' <<<"$line" && { echo "a RUN in the rule: $line"; return; }
    done <"$1"
    return 0
}

# hostile_case NAME DEVICE STATUS [MESSAGE] [RULE-TEXT]: com1 DEVICE of the hostile
# bench exits with STATUS; the rule (if any) is sound and holds RULE-TEXT; the
# output holds MESSAGE and no control character, in lines of sane length.
hostile_case() {
    local name=$1 device=$2 want=$3 message=${4:-} text=${5:-} out rc file problem
    cases=$((cases + 1))
    rm -rf "$rules" && mkdir -p "$rules"
    out=$(timeout 60 env LOADER_BENCH_SYS="$HS" LOADER_BENCH_DEV="$HD" "$bench" com1 "$device" \
        --rules-dir "$rules" --no-trigger 2>&1)
    rc=$?
    file=$rules/60-load-qx7100-com1.rules
    [ "$rc" -eq "$want" ] || fail "hostile: $name: exit status $rc, expected $want: $out"
    if [ -f "$file" ]; then
        problem=$(rule_is_sound "$file")
        [ -z "$problem" ] || fail "hostile: $name: $problem"$'\n'"$(cat -A "$file")"
        [ -z "$text" ] || grep -qF -- "$text" "$file" || fail "hostile: $name: rule lacks $text: $(cat -A "$file")"
        [ "$(wc -L <"$file")" -le 400 ] || fail "hostile: $name: a rule line of $(wc -L <"$file") characters"
        [ "$want" -eq 0 ] || fail "hostile: $name: refused but a rule was written"
    elif [ "$want" -eq 0 ]; then
        fail "hostile: $name: no rule written: $out"
    fi
    LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' <<<"$out" &&
        fail "hostile: $name: control characters on the terminal: $(cat -A <<<"$out")"
    [ "$(wc -L <<<"$out")" -le 700 ] || fail "hostile: $name: an output line of $(wc -L <<<"$out") characters"
    [ -z "$message" ] || grep -qF -- "$message" <<<"$out" || fail "hostile: $name: message lacks \"$message\": $out"
    [ "${VERBOSE:-}" = 1 ] && printf '%s\n' "--- hostile, $name:" "$out" "$(cat "$file" 2>/dev/null)"
    return 0
}
# shellcheck disable=SC2016,SC1003 # the texts are meant literally
{
    hostile_case "product string with \\n and a RUN" /dev/ttyUSB10 0 'x\nSUBSYSTEM=="tty", RUN+=' 'ATTRS{serial}=="GOOD1"'
    hostile_case "serial with \\n and a RUN" /dev/ttyUSB11 0 'has a serial number (X\nRUN+="/bin/touch /tmp/bench-injected") with characters a rule cannot match safely' 'KERNELS=="2-2"'
    hostile_case "serial with a quote" /dev/ttyUSB12 0 'has a serial number (AB"CD) with characters a rule cannot match safely' 'KERNELS=="2-3"'
    hostile_case "serial with %" /dev/ttyUSB13 0 "has a serial number (50%) with characters" 'KERNELS=="2-4"'
    hostile_case "serial with \$" /dev/ttyUSB14 0 'has a serial number ($devpath) with characters' 'KERNELS=="2-5"'
    hostile_case "serial with a glob" /dev/ttyUSB15 0 "has a serial number (A5*) with characters" 'KERNELS=="2-6"'
    hostile_case "serial of 4000 characters" /dev/ttyUSB16 0 "has a serial number longer than a USB serial number can be (4000 characters)" 'KERNELS=="2-7"'
    hostile_case "manufacturer with ESC sequences" /dev/ttyUSB17 0 'Evil\x1b[2J\x1b]0;owned\x07 Corp' 'ATTRS{serial}=="GOOD8"'
    hostile_case "product with \\c" /dev/ttyUSB18 0 'Half\cHidden, serial GOOD9' 'ATTRS{serial}=="GOOD9"'
    hostile_case "product of 4000 characters" /dev/ttyUSB19 0 "LLL..." 'ATTRS{serial}=="GOOD10"'
    hostile_case "vendor number with a quote" /dev/ttyUSB20 0 'has vendor and product numbers (04"3:6001) that are not' 'SUBSYSTEM=="tty", KERNELS=="2-11", SYMLINK+="com1"'
    hostile_case "serial with TAB and ESC" /dev/ttyUSB21 0 'has a serial number (TAB\x09ESC\x1b) with characters' 'KERNELS=="2-12"'
    hostile_case "PCI port with a quote in its name" "/dev/$pci_bad" 1 "which is not a serial port's name"
}
# The \c case keeps the whole comment line: dash's echo stopped at \c.
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
env LOADER_BENCH_SYS="$HS" LOADER_BENCH_DEV="$HD" "$bench" com1 /dev/ttyUSB18 --rules-dir "$rules" --no-trigger >/dev/null 2>&1
# shellcheck disable=SC1003 # a backslash meant literally
grep -qxF '# Port: /dev/ttyUSB18, USB 0403:6001 FTDI Half\cHidden, serial GOOD9, USB socket 2-9.' \
    "$rules/60-load-qx7100-com1.rules" ||
    fail "hostile: \\c: the comment is cut: $(cat -A "$rules/60-load-qx7100-com1.rules" 2>&1)"
# check lists the hostile adapters without control characters, in lines of sane
# length, and leaves the bad name out.
cases=$((cases + 1))
out=$(timeout 60 env LOADER_BENCH_SYS="$HS" LOADER_BENCH_DEV="$HD" CUPS_SERVER="$work/none.sock" \
    "$bench" check --user nobody 2>&1)
rc=$?
[ "$rc" -eq 1 ] || fail "hostile: check: exit status $rc: $out"
LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' <<<"$out" &&
    fail "hostile: check: control characters on the terminal: $(cat -A <<<"$out")"
grep -qF 'ttyS9"' <<<"$out" && fail "hostile: check: the bad PCI name listed: $out"
grep -qF 'Evil\x1b[2J' <<<"$out" || fail "hostile: check: ESC not shown as \\x1b: $out"
[ "$(wc -L <<<"$out")" -le 700 ] || fail "hostile: check: an output line of $(wc -L <<<"$out") characters"

# The hostile rules through udev's own parser (privately): nothing to RUN.
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
env LOADER_BENCH_SYS="$HS" LOADER_BENCH_DEV="$HD" "$bench" com1 /dev/ttyUSB10 --rules-dir "$rules" --no-trigger >/dev/null 2>&1
env LOADER_BENCH_SYS="$HS" LOADER_BENCH_DEV="$HD" "$bench" com2 /dev/ttyUSB11 --rules-dir "$rules" --no-trigger >/dev/null 2>&1
out=$(udev_test "$rules")
grep -qF "bench-injected" <<<"$out" && fail "hostile: udev would run the injected command: $(grep -F bench-injected <<<"$out")"
complaints=$(udev_parse "$rules")
[ -z "$complaints" ] || fail "hostile: udev complains about the rules: $complaints"

# A link that another user planted at the temporary file's name in a rules
# folder of theirs is never written through (the name was once .FILE.PID).
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules" && chown nobody:nogroup "$rules"
printf 'precious\n' >"$work/victim" && chmod 0644 "$work/victim"
# shellcheck disable=SC2016 # expanded by the inner shell
out=$(sh -c 'setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s "$1" "$2/.60-load-qx7100-com1.rules.$$" &&
    exec "$3" com1 /dev/ttyUSB0 --rules-dir "$2" --no-trigger' sh "$work/victim" "$rules" "$bench" 2>&1)
[ "$(cat "$work/victim")" = precious ] || fail "planted link: written through: $(cat "$work/victim")"
{ [ -f "$rules/60-load-qx7100-com1.rules" ] && [ ! -L "$rules/60-load-qx7100-com1.rules" ]; } ||
    fail "planted link: no rule file of its own: $out $(ls -la "$rules")"
# A link or a FIFO at the rule's own name is refused, neither followed nor read.
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
ln -s "$work/victim" "$rules/60-load-qx7100-com1.rules"
out=$(timeout 20 "$bench" com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && [ "$(cat "$work/victim")" = precious ] && [ -L "$rules/60-load-qx7100-com1.rules" ]; } ||
    fail "link at the rule's name: status $rc: $out"
cases=$((cases + 1))
rm -f "$rules/60-load-qx7100-com1.rules" && mkfifo "$rules/60-load-qx7100-com1.rules"
out=$(timeout 20 "$bench" com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger 2>&1)
rc=$?
[ "$rc" -eq 1 ] || fail "FIFO at the rule's name: status $rc (124: it hung): $out"

# Where udev can verify a rules file (udevadm verify), a rule it refuses is not installed.
mkdir -p "$work/fakebin"
cat >"$work/fakebin/udevadm" <<'FAKE'
#!/bin/sh
# udevadm of systemd 254 and later: verify, with --no-style; the file comes last.
# A reload it refuses, with words made to drive the terminal.
[ "$1" = control ] && { printf 'reload refused\033[2J\n' >&2; exit 1; }
[ "$1" = verify ] || exit 1
[ "$2" = --help ] && { echo "  -N --resolve-names=early|never  When to resolve names"; echo "     --no-style   Ignore style issues"; exit 0; }
case " $* " in *" --resolve-names=never --no-style "*) ;; *) echo "unexpected options: $*" >&2; exit 1 ;; esac
for file; do :; done
cp "$file" "${0%/*}/verified.rules"
if [ -n "${FAKE_VERIFY_FAIL:-}" ]; then
    echo "$file:7 Invalid key/value pair, ignoring." >&2
    exit 1
fi
exit 0
FAKE
chmod 0755 "$work/fakebin/udevadm"
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
out=$(env PATH="$work/fakebin:$PATH" FAKE_VERIFY_FAIL=1 "$bench" com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && [ -z "$(ls -A "$rules")" ] && grep -qF "udev does not accept the rule" <<<"$out"; } ||
    fail "udevadm verify refusing: status $rc, files $(ls -A "$rules"): $out"
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules" && rm -f "$work/fakebin/verified.rules"
out=$(env PATH="$work/fakebin:$PATH" "$bench" com1 /dev/ttyUSB0 --rules-dir "$rules" --no-trigger 2>&1) ||
    fail "udevadm verify accepting: $out"
cmp -s "$work/fakebin/verified.rules" "$rules/60-load-qx7100-com1.rules" ||
    fail "udevadm verify: the rule installed is not the one verified"
# A reload that fails is said, with udev's own words made visible.
cases=$((cases + 1))
rm -rf "$rules" && mkdir -p "$rules"
out=$(env PATH="$work/fakebin:$PATH" "$bench" com1 /dev/ttyUSB0 --rules-dir "$rules" 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && grep -qF "udevadm control --reload failed" <<<"$out" &&
    grep -qF 'reload refused\x1b[2J' <<<"$out"; } || fail "udevadm reload failing: status $rc: $(cat -A <<<"$out")"

# ---- private-cupsd.sh on folders that are not its own -------------------------------------

# Run as root, it refuses a folder another user made, a link, and a folder
# others can write into, and writes nothing there.
shared=$work/shared
mkdir -p "$shared" && chmod 1777 "$shared"
mkdir -p "$work/rootonly" && chmod 0700 "$work/rootonly"
setpriv --reuid=nobody --regid=nogroup --clear-groups mkdir "$shared/theirs"
setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s "$work/rootonly" "$shared/link"
mkdir -p "$shared/open" && chmod 0777 "$shared/open"
setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s "$work/rootonly" "$shared/open/conf"
# cupsd_refused NAME DIR MESSAGE [WATCHED-FOLDER]: start refuses DIR with MESSAGE
# and nothing appears in DIR or WATCHED-FOLDER.
cupsd_refused() {
    local name=$1 dir=$2 message=$3 watched=${4:-$2} before out rc
    cases=$((cases + 1))
    before=$(ls -A "$watched" "$work/rootonly" 2>&1)
    out=$(LOADER_CUPS_QUEUE=none timeout 60 "$cupsd_script" start "$dir" 2>&1)
    rc=$?
    "$cupsd_script" stop "$dir" >/dev/null 2>&1
    [ "$rc" -eq 1 ] || fail "private-cupsd.sh, $name: exit status $rc: $out"
    grep -qF -- "$message" <<<"$out" || fail "private-cupsd.sh, $name: message lacks \"$message\": $out"
    [ "$(ls -A "$watched" "$work/rootonly" 2>&1)" = "$before" ] ||
        fail "private-cupsd.sh, $name: wrote into it: $(ls -A "$watched" "$work/rootonly" 2>&1)"
}
cupsd_refused "a folder another user made" "$shared/theirs" "another user made it"
cupsd_refused "a link planted by another user" "$shared/link" "is a link"
cupsd_refused "a folder others can write, with a link planted in it" "$shared/open" "other users can write"
mkdir -p "$work/inuse" && echo keep >"$work/inuse/important"
cupsd_refused "a folder of root's in use for something else" "$work/inuse" "holds important, which is not the private print server's"

# ---- the print server and lpt1 / lpt2 --------------------------------------------------

LOADER_CUPS_BACKEND=real LOADER_CUPS_QUEUE=none "$cupsd_script" start "$cups" >/dev/null ||
    { echo "FAIL: cannot start the private print server"; exit 1; }
LOADER_CUPS_BACKEND=real LOADER_CUPS_QUEUE=none "$cupsd_script" start "$cups2" >/dev/null ||
    { echo "FAIL: cannot start the second private print server"; exit 1; }
export LOADER_BENCH_SERVERBIN=$cups/bin
export CUPS_SERVER=$cups/cups.sock
ln -s /dev/null "$D/lp0"
ln -s /dev/null "$D/lp1"

# The default printer and the port name the loader gives it, as check reports
# them (the program and the loader share the mapping of parallel ports).
loader_sees() {
    env -u SUDO_USER -u PKEXEC_UID -u LPDEST -u PRINTER HOME="$H" "$bench" check 2>&1 |
        sed -n 's/^OK   printer port: \([^ ]*\) is on .*, which the loader sees as \(LPT[0-9]:\)$/\1 \2/p'
}

cases=$((cases + 1))
out=$(bench_as_root lpt1 2>&1) || fail "lpt1: $out"
[ "$(lpstat -v qx7100-lpt1 2>&1)" = "device for qx7100-lpt1: parallel:/dev/lp0" ] || fail "lpt1: device $(lpstat -v 2>&1)"
[ "$(loader_sees)" = "qx7100-lpt1 LPT1:" ] || fail "lpt1: the loader sees $(loader_sees)"
# An error policy changed behind its back is put right by running it again.
lpadmin -p qx7100-lpt1 -o printer-error-policy=stop-printer
cupsdisable qx7100-lpt1 && cupsreject qx7100-lpt1
out=$(bench_as_root lpt1 2>&1) || fail "lpt1 again: $out"
sed -n '/^<\(Default\)\{0,1\}Printer qx7100-lpt1>/,/^<\/\(Default\)\{0,1\}Printer>/p' "$cups/conf/printers.conf" >"$work/queue.conf"
grep -qx "ErrorPolicy abort-job" "$work/queue.conf" || fail "lpt1: error policy: $(cat "$work/queue.conf")"
grep -qx "State Idle" "$work/queue.conf" || fail "lpt1: queue left paused"
grep -qx "Accepting Yes" "$work/queue.conf" || fail "lpt1: queue left rejecting"
grep -q "^PPD\|^MakeModel" "$work/queue.conf" && fail "lpt1: the queue has a model: $(cat "$work/queue.conf")"

cases=$((cases + 1))
out=$(bench_as_root lpt2 2>&1) || fail "lpt2: $out"
[ "$(loader_sees)" = "qx7100-lpt2 LPT2:" ] || fail "lpt2: the loader sees $(loader_sees)"

cases=$((cases + 1))
rm "$D/lp0"
ln -s /dev/null "$D/usb/lp0"
out=$(bench_as_root lpt1 2>&1) || fail "lpt1 on an adapter: $out"
[ "$(lpstat -v qx7100-lpt1 2>&1)" = "device for qx7100-lpt1: parallel:/dev/usb/lp0" ] ||
    fail "lpt1 with only an adapter: $(lpstat -v qx7100-lpt1 2>&1)"
rm "$D/usb/lp0"
ln -s /dev/null "$D/lp0"
out=$(bench_as_root lpt1 /dev/lp0 2>&1) || fail "lpt1 /dev/lp0: $out"
[ "$(loader_sees)" = "qx7100-lpt1 LPT1:" ] || fail "lpt1 back on /dev/lp0: the loader sees $(loader_sees)"

# lpt_refused NAME STATUS MESSAGE ARGS...: refused with that status and message.
lpt_refused() {
    local name=$1 want=$2 message=$3 out rc
    shift 3
    cases=$((cases + 1))
    out=$("$@" 2>&1)
    rc=$?
    [ "$rc" -eq "$want" ] || fail "$name: exit status $rc, expected $want: $out"
    grep -qF -- "$message" <<<"$out" || fail "$name: message lacks \"$message\": $out"
}
lpt_refused "lpt1 on LPT2's port" 2 "/dev/lp1 is LPT2 for the loader" bench_as_root lpt1 /dev/lp1
lpt_refused "lpt1 on another device" 2 "not a port the loader counts as LPT1" bench_as_root lpt1 /dev/usb/lp3
lpt_refused "lpt1 with an option of control characters" 2 'lpt1: unknown option: -\x1b[2J' bench_as_root lpt1 $'-\e[2J'

lpt_refused "lpt1 without a print server" 1 "the print server is not running" \
    env CUPS_SERVER="$work/none.sock" "$bench" lpt1
lpt_refused "lpt1 not as root" 1 "must be run as root" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -u CUPS_SERVER "$bench" lpt1
lpt_refused "lpt2 not as root" 1 "so it must be run as root: sudo load_qx7100-bench lpt2" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -u CUPS_SERVER "$bench" lpt2
lpt_refused "com2 not as root" 1 "so it must be run as root: sudo load_qx7100-bench com2 /dev/ttyUSB1" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$bench" com2 /dev/ttyUSB1
CUPS_SERVER=$cups2/cups.sock lpadmin -p qx7100-lpt1 -D "Office printer" -v parallel:/dev/lp2 -E
lpt_refused "queue of that name made by someone else" 1 "did not make: left as it is" \
    env CUPS_SERVER="$cups2/cups.sock" "$bench" lpt1
[ "$(CUPS_SERVER=$cups2/cups.sock lpstat -v qx7100-lpt1)" = "device for qx7100-lpt1: parallel:/dev/lp2" ] ||
    fail "queue made by someone else: changed"
CUPS_SERVER=$cups2/cups.sock lpadmin -x qx7100-lpt1

cases=$((cases + 1))
mkdir -p "$work/nobody/.cups"
echo "Default office" >"$work/nobody/.cups/lpoptions"
chmod -R a+rX "$work/nobody"
out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/nobody" LPDEST=office "$bench" lpt1 2>&1) ||
    fail "lpt1 with a user default: $out"
grep -qF "$work/nobody/.cups/lpoptions still makes office the default of nobody" <<<"$out" ||
    fail "lpt1: user's lpoptions not mentioned: $out"
grep -qF "LPDEST=office in the environment still wins" <<<"$out" || fail "lpt1: LPDEST not mentioned: $out"
rm -rf "$work/nobody/.cups"

# ---- check ----------------------------------------------------------------------------------

# The complete bench: COM1 a USB adapter (rule and link), COM2 the built-in
# ttyS1, LPT1 the default queue on /dev/lp0, the user in dialout and lp.
rm -rf "$E/udev/rules.d" && mkdir -p "$E/udev/rules.d"
bench_as_root com1 /dev/ttyUSB0 --no-trigger --rules-dir "$E/udev/rules.d" >/dev/null || fail "check: com1 refused"
ln -s ttyUSB0 "$D/com1"
chmod -R a+rX "$work"

groups=dialout,lp
extra=()
wrap=(timeout 60)
# run_check: check as nobody in $groups, with the environment in $extra, under
# the limits in $wrap (a hang ends as status 124).
run_check() {
    local gopt=--clear-groups
    [ -n "$groups" ] && gopt=--groups=$groups
    "${wrap[@]}" setpriv --reuid=nobody --regid=nogroup "$gopt" env -u SUDO_USER -u PKEXEC_UID -u LPDEST -u PRINTER \
        HOME="$H" "${extra[@]}" "$bench" check
}

# expect_check NAME STATUS [LINE-START]...: check exits with STATUS and its only
# WARN and FAIL lines start, in order, as given.
expect_check() {
    local name=$1 want=$2 out rc got wanted
    shift 2
    cases=$((cases + 1))
    out=$(run_check 2>&1)
    rc=$?
    got=$(grep -E '^(WARN|FAIL) ' <<<"$out")
    [ "$rc" -eq "$want" ] || fail "check, $name: exit status $rc, expected $want:"$'\n'"$out"
    [ "$(grep -c . <<<"$got")" -eq $# ] || fail "check, $name: expected $# problem line(s), got:"$'\n'"$out"
    local i=1
    for wanted in "$@"; do
        [[ "$(sed -n "${i}p" <<<"$got")" == "$wanted"* ]] ||
            fail "check, $name: line $i is not \"$wanted...\":"$'\n'"$out"
        i=$((i + 1))
    done
    [ "${VERBOSE:-}" = 1 ] && echo "--- check, $name:"$'\n'"$out"
    return 0
}

# expect_line NAME TEXT [VAR=VALUE]...: a line of check's output (run with the
# shell variables given) holds TEXT.
expect_line() {
    local name=$1 text=$2 out
    shift 2
    cases=$((cases + 1))
    out=$(
        for a in "$@"; do
            if [[ "$a" == extra=* ]]; then
                extra=("${a#extra=}")
            else
                eval "${a%%=*}=\${a#*=}"
            fi
        done
        run_check 2>&1
    )
    grep -qF -- "$text" <<<"$out" || fail "check, $name: no line holds \"$text\":"$'\n'"$out"
    return 0
}

expect_check "complete bench" 0
VERBOSE=1 expect_check "complete bench (shown)" 0

rm "$D/com1"
expect_check "COM1's adapter unplugged" 0 \
    "WARN COM1: the USB serial adapter given COM1 is not plugged in"
ln -s ttyUSB9 "$D/com1"
expect_check "COM1 a dangling link" 0 "WARN COM1: /dev/com1 points to ttyUSB9, which is not there"
rm "$D/com1"
echo 0 >"$S/devices/platform/serial8250/tty/ttyS1/type"
expect_check "no serial port at all" 1 "FAIL COM1: the USB serial adapter given COM1 is not plugged in" \
    "FAIL COM2: /dev/ttyS1, which has no UART behind it"
echo 4 >"$S/devices/platform/serial8250/tty/ttyS1/type"
mv "$E/udev/rules.d/60-load-qx7100-com1.rules" "$work/com1.rules"
expect_check "COM1 the phantom ttyS0" 0 \
    "WARN COM1: /dev/ttyS0, which has no UART behind it (no port there). Fix: sudo load_qx7100-bench com1 /dev/ttyACM0"
mv "$work/com1.rules" "$E/udev/rules.d/60-load-qx7100-com1.rules"
ln -s ttyACM0 "$D/com1"
echo 0 >"$S/devices/platform/serial8250/tty/ttyS1/type"
expect_check "COM2 the phantom ttyS1" 0 \
    "WARN COM2: /dev/ttyS1, which has no UART behind it (no port there). Fix: sudo load_qx7100-bench com2 /dev/ttyS4"
echo 4 >"$S/devices/platform/serial8250/tty/ttyS1/type"
rm "$D/com1"
ln -s ttyUSB0 "$D/com1"

groups='lp'
expect_check "user not in dialout" 1 "FAIL group dialout: nobody is not a member"
groups=dialout
# The loader prints through the print server: the group lp is no concern of the user's.
expect_check "user not in lp" 0
expect_line "user not in lp" "INFO group lp: not needed: the loader prints through the print server"
expect_line "user not in dialout: the fix" "Fix: sudo adduser nobody dialout" groups=lp
groups=dialout,lp

extra=(CUPS_SERVER="$work/none.sock")
expect_check "no print server" 1 "FAIL print server: not running"
expect_line "no print server, no systemd" "FAIL print server: not running. Fix: sudo service cups start"
mkdir -p "$R/systemd/system"
expect_line "no print server, systemd" "FAIL print server: not running. Fix: sudo systemctl enable --now cups"
rmdir "$R/systemd/system"
kill -STOP "$(cat "$cups/cupsd.pid")"
extra=(LOADER_BENCH_CUPS_TIMEOUT=1)
expect_check "print server not answering" 1 "FAIL print server: does not answer"
kill -CONT "$(cat "$cups/cupsd.pid")"
mkdir -p "$work/emptybin/backend"
extra=(LOADER_BENCH_SERVERBIN="$work/emptybin")
expect_check "no parallel backend" 1 "FAIL parallel backend: missing"
extra=(CUPS_SERVER="$cups2/cups.sock")
expect_check "no default printer" 1 "FAIL default printer: none is set as default"
extra=(LPDEST=office)
expect_check "LPDEST names another printer" 1 "FAIL user default: LPDEST=office in the environment makes office"
extra=(PRINTER=office)
expect_check "PRINTER names another printer" 1 "FAIL user default: PRINTER=office"
extra=()
mkdir -p "$H/.cups" && echo "Default office/draft" >"$H/.cups/lpoptions" && chmod -R a+rX "$H"
expect_check "the user's lpoptions names another printer" 1 "FAIL user default: $H/.cups/lpoptions (Default office) makes office"
echo "Default qx7100-lpt1" >"$H/.cups/lpoptions"
expect_check "the user's lpoptions names the bench printer" 0
# A FIFO or a link to /dev/zero as the user's lpoptions is not read: no hang,
# no endless read (memory bounded here, so that a program that reads it fails fast).
# AddressSanitizer reserves terabytes of address space at its start, so that a
# sanitizer build of the program is bounded by its own allocator instead.
if ldd "$bench" 2>/dev/null | grep -q libasan; then
    wrap=(timeout 30 env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}malloc_limit_mb=512:hard_rss_limit_mb=512")
else
    wrap=(timeout 30 prlimit --as=536870912)
fi
rm "$H/.cups/lpoptions" && mkfifo -m 0644 "$H/.cups/lpoptions"
expect_check "the user's lpoptions a FIFO" 1 "FAIL user default: $H/.cups/lpoptions is not a regular file"
rm "$H/.cups/lpoptions" && ln -s /dev/zero "$H/.cups/lpoptions"
expect_check "the user's lpoptions a link to /dev/zero" 1 "FAIL user default: $H/.cups/lpoptions is not a regular file"
rm "$H/.cups/lpoptions" && { echo "Default office"; head -c 70000 /dev/zero | tr '\0' '#'; } >"$H/.cups/lpoptions"
chmod a+r "$H/.cups/lpoptions"
expect_check "the user's lpoptions over 64 KiB" 0 "WARN user default: $H/.cups/lpoptions is larger than 65536 bytes: not read"
wrap=(timeout 60)
rm -rf "$H/.cups"

lpadmin -p office -v parallel:/dev/lp2 -E && lpadmin -d office
expect_check "default printer not on a local port" 1 "FAIL printer port: office is on parallel:/dev/lp2, not a parallel port"
lpadmin -d qx7100-lpt1 && lpadmin -x office
cupsdisable qx7100-lpt1
expect_check "queue paused" 1 "FAIL queue qx7100-lpt1: paused, nothing would be sent. Fix: sudo cupsenable qx7100-lpt1"
cupsenable qx7100-lpt1 && cupsreject qx7100-lpt1
expect_check "queue rejecting" 1 "FAIL queue qx7100-lpt1: rejecting jobs (Start would give Error 8). Fix: sudo cupsaccept qx7100-lpt1"
cupsaccept qx7100-lpt1
rm "$D/lp0"
expect_check "port device missing" 1 "FAIL port device: /dev/lp0 is not there"
ln -s /dev/null "$D/lp0"
echo ModemManager >"$P/1/comm"
# COM1's rule tells ModemManager to keep off the adapter: harmless.
expect_check "ModemManager running, COM1's rule with the flag" 0
expect_line "ModemManager running, COM1's rule with the flag" \
    "OK   ModemManager: running, harmless: the rule of COM1 tells it to leave the adapter alone"
cp "$E/udev/rules.d/60-load-qx7100-com1.rules" "$work/com1.rules"
sed -i 's/, ENV{ID_MM_DEVICE_IGNORE}="1"//' "$E/udev/rules.d/60-load-qx7100-com1.rules"
expect_check "ModemManager running, COM1's rule without the flag" 0 \
    "WARN ModemManager: running, and the rule of COM1 was written without the flag"
expect_line "ModemManager running, COM1's rule without the flag: the fix" \
    "Fix: write the rule again: sudo load_qx7100-bench com1 /dev/ttyUSB0"
rm "$E/udev/rules.d/60-load-qx7100-com1.rules"
expect_check "ModemManager running, no rule" 0 "WARN ModemManager: running; it probes"
expect_line "ModemManager, no systemd: no systemctl advice" "or sudo apt-get remove modemmanager"
mkdir -p "$R/systemd/system"
expect_line "ModemManager, systemd: systemctl advice" "or sudo systemctl disable --now ModemManager"
rmdir "$R/systemd/system"
mv "$work/com1.rules" "$E/udev/rules.d/60-load-qx7100-com1.rules"
echo brltty >"$P/1/comm"
expect_check "brltty running" 0 "WARN brltty: running"
echo init >"$P/1/comm"
expect_check "complete again" 0

# Run by root: through sudo the invoking user's groups count, else none is known.
cases=$((cases + 1))
out=$(env SUDO_USER=nobody HOME="$H" "$bench" check 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && grep -q "^FAIL group dialout: nobody is not a member" <<<"$out"; } ||
    fail "check through sudo: status $rc:"$'\n'"$out"
cases=$((cases + 1))
out=$(env -u SUDO_USER PKEXEC_UID=65534 HOME="$H" "$bench" check 2>&1)
rc=$?
{ [ "$rc" -eq 1 ] && grep -q "^FAIL group dialout: nobody is not a member" <<<"$out"; } ||
    fail "check through pkexec: status $rc:"$'\n'"$out"
cases=$((cases + 1))
out=$(env -u SUDO_USER -u PKEXEC_UID HOME="$H" "$bench" check 2>&1)
rc=$?
{ [ "$rc" -eq 0 ] && grep -q "^WARN group dialout: not checked" <<<"$out"; } ||
    fail "check as root alone: status $rc:"$'\n'"$out"
cases=$((cases + 1))
out=$("$bench" check --bogus 2>&1)
[ $? -eq 2 ] || fail "check with a bad argument: $out"
for c in check com1 com2 lpt1 lpt2; do
    cases=$((cases + 1))
    "$bench" "$c" --help | grep -q "^Usage: load_qx7100-bench" || fail "$c --help"
    "$bench" help "$c" | grep -q "^Usage: load_qx7100-bench" || fail "help $c"
done
out=$("$bench" frobnicate 2>&1)
[ $? -eq 2 ] || fail "unknown command: $out"

echo "$cases cases, $failures failure(s)"
[ "$failures" -eq 0 ]
