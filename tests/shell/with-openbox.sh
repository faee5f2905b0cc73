#!/usr/bin/env bash
# Runs a program under a private X server (Xvfb, on a display number it picks
# itself) with the openbox window manager, then stops both.
#
#   with-openbox.sh PROGRAM [ARGUMENTS...]
#
# The program sees DISPLAY and QT_QPA_PLATFORM=xcb. Exits with the program's
# status, or 1 with a message naming the Debian package of a missing tool.
set -euo pipefail

die() {
    echo "with-openbox: $*" >&2
    exit 1
}

for tool in Xvfb:xvfb openbox:openbox xdotool:xdotool; do
    command -v "${tool%%:*}" >/dev/null ||
        die "${tool%%:*} is missing: install the Debian package ${tool#*:}"
done
(($# > 0)) || die "usage: with-openbox.sh PROGRAM [ARGUMENTS...]"

work=$(mktemp -d /tmp/with-openbox.XXXXXX)
xvfb_pid=
wm_pid=
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    for pid in $wm_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# -displayfd: the server takes the first free display number and writes it.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; die "Xvfb did not start"; }
    sleep 0.05
done
[ -s "$work/display" ] || die "Xvfb gave no display number within 5 s"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY

# Alt with the right button dragged resizes from the nearest corner, as the
# desktop's default binding does; nothing else of the machine's set-up is read.
cat >"$work/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
  <mouse>
    <dragThreshold>1</dragThreshold>
    <context name="Frame">
      <mousebind button="A-Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="A-Right" action="Drag"><action name="Resize"/></mousebind>
    </context>
    <context name="BRCorner">
      <mousebind button="Left" action="Drag"><action name="Resize"/></mousebind>
    </context>
  </mouse>
</openbox_config>
XML
HOME=$work XDG_CONFIG_HOME=$work openbox --config-file "$work/rc.xml" --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
    xdotool get_num_desktops >/dev/null 2>&1 && break
    kill -0 "$wm_pid" 2>/dev/null || { cat "$work/openbox.log" >&2; die "openbox did not start"; }
    sleep 0.05
done
xdotool get_num_desktops >/dev/null 2>&1 || die "openbox did not take the display within 5 s"

export QT_QPA_PLATFORM=xcb
status=0
"$@" || status=$?
exit "$status"
