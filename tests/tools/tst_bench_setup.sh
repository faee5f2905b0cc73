#!/bin/bash
# The bench set-up program load_qx7100-bench against a bench built of fixture
# trees: /sys with USB serial adapters (with and without a serial number, two
# ports, CDC ACM), a PCI serial card, built-in ports with and without a UART;
# /dev of links; /etc with the udev rules folder; /proc with chosen programs;
# a private print server with the real parallel backend of cups-filters.
# `check` runs as user nobody (setpriv) with the groups each case needs; rules
# go through udev's own parser in a private mount namespace. Nothing of the
# machine's /etc/udev/rules.d, print queues or ports is touched.
#
#   tst_bench_setup.sh BENCH_PROGRAM PRIVATE_CUPSD_SCRIPT PRINTER_PROBE

set -u
bench=$1 cupsd_script=$2 probe=$3
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

S=$work/sys D=$work/dev E=$work/etc P=$work/proc H=$work/home
mkdir -p "$S/class/tty" "$D/usb" "$D/serial/by-id" "$D/pts" "$E/udev/rules.d" "$E/cups" "$P/1" "$H"
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

export LOADER_BENCH_DEV=$D LOADER_BENCH_SYS=$S LOADER_BENCH_ETC=$E LOADER_BENCH_PROC=$P
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
    'SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", ATTRS{serial}=="A50285BI", SYMLINK+="com1"' \
    "COM1 is /dev/ttyUSB0"
grep -q KERNELS "$rules/60-load-qx7100-com1.rules" && fail "adapter with a serial number: matched by socket too"
com_case "adapter without a serial number" 0 com2 ttyUSB1 \
    'SUBSYSTEM=="tty", KERNELS=="1-3", ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523", SYMLINK+="com2"' \
    "no serial number, so the rule knows it by its USB socket (1-3): /dev/com2 follows the socket, not the adapter"
com_case "second port of a two-port adapter" 0 com1 /dev/ttyUSB3 \
    'ATTRS{serial}=="FT4XYZ", ENV{ID_USB_INTERFACE_NUM}=="01", SYMLINK+="com1"'
grep -qF 'IMPORT{builtin}="usb_id"' "$rules/60-load-qx7100-com1.rules" ||
    fail "two-port adapter: the interface number is matched without importing it"
com_case "third port of a four-port interface" 0 com2 /dev/ttyUSB6 \
    'ATTRS{serial}=="MOS4", ENV{ID_USB_INTERFACE_NUM}=="00", ENV{.LOAD_QX7100_PORT}=="2", SYMLINK+="com2"'
# shellcheck disable=SC2016 # udev's own $attr{}
grep -qF 'SUBSYSTEMS=="usb-serial", ENV{.LOAD_QX7100_PORT}="$attr{port_number}"' "$rules/60-load-qx7100-com2.rules" ||
    fail "four-port interface: the port number is matched without reading it"
com_case "CDC ACM adapter" 0 com1 /dev/ttyACM0 'ATTRS{idVendor}=="2341", ATTRS{idProduct}=="0043", ATTRS{serial}=="ACM77"'
com_case "port of a PCI card" 0 com2 /dev/ttyS5 'SUBSYSTEM=="tty", KERNEL=="ttyS5", KERNELS=="0000:03:00.0", SYMLINK+="com2"'
com_case "adapter named by its by-id link" 0 com1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 \
    'ATTRS{serial}=="A50285BI", SYMLINK+="com1"'
com_case "phantom built-in port" 1 com1 /dev/ttyS0 - "no UART behind it"
com_case "built-in port with a UART" 1 com1 /dev/ttyS1 - "built-in port"
com_case "pseudo-terminal" 1 com1 /dev/pts/0 - "pseudo-terminal, not a serial port"
com_case "virtual terminal" 1 com1 /dev/tty0 - "not a serial port"
com_case "not a terminal" 1 com1 /dev/sda - "not a serial port"
com_case "unknown device" 1 com2 /dev/ttyUSB9 - "no such device: /dev/ttyUSB9"
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

# udev_parse DIR: udevadm test with DIR bound over /etc/udev/rules.d in a private
# mount namespace; prints udev's complaints about our rule files.
udev_parse() {
    local out
    # shellcheck disable=SC2016 # expanded by the inner shell
    out=$(unshare -m sh -c 'mount --bind "$1" /etc/udev/rules.d && udevadm test --action=add "$2"' \
        sh "$1" "$udev_dev" 2>&1) || { echo "udevadm test failed: $out"; return; }
    for f in "$1"/*.rules; do
        grep -qF "Reading rules file: /etc/udev/rules.d/${f##*/}" <<<"$out" || echo "not read: ${f##*/}"
    done
    grep -E '60-load-qx7100-com[12]\.rules:[0-9]+ ' <<<"$out"
}
[ -d /etc/udev/rules.d ] || { echo "FAIL: /etc/udev/rules.d missing: install the Debian package udev"; exit 1; }
unshare -m true 2>/dev/null || { echo "FAIL: cannot make a private mount namespace (unshare -m)"; exit 1; }

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

# ---- the print server and lpt1 / lpt2 --------------------------------------------------

LOADER_CUPS_BACKEND=real LOADER_CUPS_QUEUE=none "$cupsd_script" start "$cups" >/dev/null ||
    { echo "FAIL: cannot start the private print server"; exit 1; }
LOADER_CUPS_BACKEND=real LOADER_CUPS_QUEUE=none "$cupsd_script" start "$cups2" >/dev/null ||
    { echo "FAIL: cannot start the second private print server"; exit 1; }
export LOADER_BENCH_SERVERBIN=$cups/bin
export CUPS_SERVER=$cups/cups.sock
ln -s /dev/null "$D/lp0"
ln -s /dev/null "$D/lp1"

# The default printer as the loader's own service sees it.
loader_sees() {
    env -u LPDEST -u PRINTER HOME="$H" "$probe"
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
lpt_refused "lpt1 without a print server" 1 "the print server is not running" \
    env CUPS_SERVER="$work/none.sock" "$bench" lpt1
lpt_refused "lpt1 not as root" 1 "must be run as root" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -u CUPS_SERVER "$bench" lpt1
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
# run_check: check as nobody in $groups, with the environment in $extra.
run_check() {
    local gopt=--clear-groups
    [ -n "$groups" ] && gopt=--groups=$groups
    setpriv --reuid=nobody --regid=nogroup "$gopt" env -u SUDO_USER -u PKEXEC_UID -u LPDEST -u PRINTER \
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
    "WARN COM1: /dev/ttyS0, which has no UART behind it (no port there). Fix: load_qx7100-bench com1 /dev/ttyACM0"
mv "$work/com1.rules" "$E/udev/rules.d/60-load-qx7100-com1.rules"
ln -s ttyACM0 "$D/com1"
echo 0 >"$S/devices/platform/serial8250/tty/ttyS1/type"
expect_check "COM2 the phantom ttyS1" 0 \
    "WARN COM2: /dev/ttyS1, which has no UART behind it (no port there). Fix: load_qx7100-bench com2 /dev/ttyS4"
echo 4 >"$S/devices/platform/serial8250/tty/ttyS1/type"
rm "$D/com1"
ln -s ttyUSB0 "$D/com1"

groups='lp'
expect_check "user not in dialout" 1 "FAIL group dialout: nobody is not a member"
groups=dialout
expect_check "user not in lp" 0 "WARN group lp: nobody is not a member"
groups=dialout,lp

extra=(CUPS_SERVER="$work/none.sock")
expect_check "no print server" 1 "FAIL print server: not running"
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
rm -rf "$H/.cups"

lpadmin -p office -v parallel:/dev/lp2 -E && lpadmin -d office
expect_check "default printer not on a local port" 1 "FAIL printer port: office is on parallel:/dev/lp2, not a parallel port"
lpadmin -d qx7100-lpt1 && lpadmin -x office
cupsdisable qx7100-lpt1
expect_check "queue paused" 1 "FAIL queue qx7100-lpt1: paused"
cupsenable qx7100-lpt1 && cupsreject qx7100-lpt1
expect_check "queue rejecting" 1 "FAIL queue qx7100-lpt1: rejecting jobs"
cupsaccept qx7100-lpt1
rm "$D/lp0"
expect_check "port device missing" 1 "FAIL port device: /dev/lp0 is not there"
ln -s /dev/null "$D/lp0"
echo ModemManager >"$P/1/comm"
expect_check "ModemManager running" 0 "WARN ModemManager: running"
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
{ [ "$rc" -eq 0 ] && grep -q "^WARN groups dialout, lp: not checked" <<<"$out"; } ||
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
