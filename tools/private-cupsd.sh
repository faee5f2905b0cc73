#!/bin/bash
# Private print server for tests, benchmarks and rehearsals: a cupsd of its own
# under DIR (configuration, socket, spool, logs, ServerBin with our capture
# backend), never the system's. See tests/support/cups/README.md.
#
#   private-cupsd.sh start DIR   configure, start in the background, wait until it
#                                answers, add the default raw queue; prints the
#                                export lines for the clients on stdout
#   private-cupsd.sh stop DIR    stop the server started in DIR (no-op if not running)
#   private-cupsd.sh run DIR     configure and run in the foreground (exec), for a
#                                harness that supervises the process itself
#   private-cupsd.sh env DIR     print the export lines only
#
# Environment read at start/run:
#   LOADER_CAPTURE_PATH     where the backend appends job bytes (default DIR/capture.bin)
#   LOADER_CAPTURE_BACKEND  a built capture backend to install (default: compile
#                           capture_backend.c beside this script with ${CC:-cc})
#   LOADER_CUPS_BACKEND     "capture" (default): our capture backend answers as
#                           parallel; "real": the system's parallel backend of
#                           cups-filters drives the device named in the URI
#   LOADER_CUPS_QUEUE       name of the queue that start adds (default qx7100; "none": no queue)
#   LOADER_CUPS_DEVICE      its device URI (default parallel:/dev/lp0, reported as LPT1:)
#   LOADER_CUPS_LOGLEVEL    cupsd LogLevel (default info)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)

die() {
    echo "private-cupsd: $*" >&2
    exit 1
}

# Finds an administration program, also where /usr/sbin is not on PATH (non-root users).
find_tool() {
    local name=$1 package=$2 path
    if path=$(command -v "$name" 2>/dev/null); then
        echo "$path"
    elif [ -x "/usr/sbin/$name" ]; then
        echo "/usr/sbin/$name"
    else
        die "$name not found: install the Debian package $package"
    fi
}

usage() {
    echo "usage: $0 start|stop|run|env DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1

# True when PATH is a folder of ours that no one else can change: not a link,
# owned by the user running this script, writable by no other user.
own_folder() {
    [ -d "$1" ] && [ ! -L "$1" ] && [ "$(stat -c %u -- "$1")" = "$(id -u)" ] &&
        [ $(($(stat -c '0%a' -- "$1") & 022)) -eq 0 ]
}

# The folder where the server lives: made here, or an existing one of ours. A
# folder another user made first, one writable by others, or a link (planted,
# say, in a shared /tmp) is refused: everything below is written by this user,
# root too, and must never land where someone else chose.
case $command in
start | run)
    [ -n "$2" ] || usage
    if [ ! -e "$2" ] && [ ! -L "$2" ]; then
        mkdir -p -- "$(dirname -- "$2")" || die "cannot make the folder $(dirname -- "$2")"
        # Without -p: fails when someone made it in the meantime.
        mkdir -m 0755 -- "$2" 2>/dev/null || [ -d "$2" ] || die "cannot make the folder $2"
    fi
    if [ -L "$2" ]; then
        die "refused: $2 is a link; give the folder itself"
    fi
    [ -d "$2" ] || die "refused: $2 is not a folder"
    if [ "$(stat -c %u -- "$2")" != "$(id -u)" ]; then
        die "refused: $2 belongs to $(stat -c %U -- "$2"), not to $(id -un): another user made it; give a folder of your own (or one that does not exist yet)"
    fi
    own_folder "$2" || die "refused: other users can write into $2 (mode $(stat -c %a -- "$2")); give a folder only you can write"
    # An existing folder holds nothing but what this script, the server and its
    # harness put there: a folder in use for something else (/etc, a home) is
    # not one to fill with a server's files.
    for entry in "$2"/* "$2"/.[!.]* "$2"/..?*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        case ${entry##*/} in
        conf | spool | cache | state | log | bin | client | capture.bin | cups.sock | cupsd.pid | printcap) ;;
        *) die "refused: $2 holds ${entry##*/}, which is not the private print server's: give an empty folder, or one that does not exist yet" ;;
        esac
    done
    ;;
*)
    # stop and env make nothing: a folder that is not there has no server.
    if [ ! -d "$2" ] && [ "$command" = stop ]; then
        exit 0
    fi
    ;;
esac
if [ -d "$2" ]; then
    dir=$(cd "$2" && pwd -P)
else
    dir=$(cd "$(dirname -- "$2")" 2>/dev/null && pwd -P)/$(basename -- "$2")
fi
case $dir in
*[[:space:]]*) die "DIR must not contain blanks (cupsd.conf cannot quote them): $dir" ;;
esac
socket=$dir/cups.sock
# sun_path holds 108 bytes including the terminating zero.
[ ${#socket} -le 107 ] || die "socket path too long for a Unix socket (${#socket} > 107): $socket"
capture=${LOADER_CAPTURE_PATH:-$dir/capture.bin}
pidfile=$dir/cupsd.pid

print_env() {
    echo "export CUPS_SERVER=$socket"
    echo "export LOADER_CAPTURE_PATH=$capture"
}

# Writes standard input to FILE through a new temporary file beside it, renamed
# over FILE: a link at FILE is replaced, never followed.
write_file() {
    local tmp
    tmp=$(mktemp "$1.XXXXXX") || die "cannot write $1"
    cat >>"$tmp" || { rm -f -- "$tmp"; die "cannot write $1"; }
    if ! chmod 0644 "$tmp" || ! mv -f -T "$tmp" "$1"; then
        rm -f -- "$tmp"
        die "cannot write $1"
    fi
}

# Writes the configuration and the ServerBin; printers.conf of an earlier run is kept.
configure() {
    local serverbin datadir entry
    serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
    datadir=$(cups-config --datadir 2>/dev/null || echo /usr/share/cups)
    [ -d "$serverbin/daemon" ] || die "$serverbin/daemon not found: install the Debian package cups-daemon"

    local sub
    for sub in conf spool spool/tmp cache state log bin bin/backend; do
        [ -L "$dir/$sub" ] && die "refused: $dir/$sub is a link"
        [ -e "$dir/$sub" ] || mkdir -m 0755 -- "$dir/$sub" || die "cannot make $dir/$sub"
    done
    # The folders written here below must be ours alone (the server may change
    # the others' modes and groups for its own user).
    for sub in conf log bin bin/backend; do
        own_folder "$dir/$sub" || die "refused: $dir/$sub is not a folder of $(id -un) that only $(id -un) can write"
    done
    chmod 0755 "$dir/bin" "$dir/bin/backend"

    # The system's helpers (daemon, notifier, filter, ...), but our own backend folder.
    for entry in "$serverbin"/*; do
        [ "$(basename "$entry")" = backend ] && continue
        ln -sfn "$entry" "$dir/bin/$(basename "$entry")"
    done

    local backend=$dir/bin/backend/parallel
    if [ "${LOADER_CUPS_BACKEND:-capture}" = real ]; then
        # The backend a bench runs. Its mode (0755) makes a root cupsd run it as
        # the unprivileged User (lp), as on a bench.
        [ -x "$serverbin/backend/parallel" ] ||
            die "$serverbin/backend/parallel not found: install the Debian package cups-filters"
        ln -sfn "$serverbin/backend/parallel" "$backend"
    elif [ -n "${LOADER_CAPTURE_BACKEND:-}" ]; then
        [ -x "$LOADER_CAPTURE_BACKEND" ] || die "LOADER_CAPTURE_BACKEND is not an executable: $LOADER_CAPTURE_BACKEND"
        rm -f -- "$backend.new"
        cp -f "$LOADER_CAPTURE_BACKEND" "$backend.new"
    else
        local cc=${CC:-cc}
        command -v "$cc" >/dev/null || die "$cc not found: install the Debian package build-essential"
        rm -f -- "$backend.new"
        "$cc" -O2 -o "$backend.new" "$here/capture_backend.c" || die "cannot compile $here/capture_backend.c"
    fi
    if [ -e "$backend.new" ]; then
        # Mode 0700: a cupsd running as root runs such a backend as root instead of as the
        # unprivileged User (lp), so it can write the capture file wherever the caller put it.
        # Run as another user, cupsd runs every backend as that user anyway.
        chmod 0700 "$backend.new"
        mv -f -T "$backend.new" "$backend"
    fi

    write_file "$dir/conf/cups-files.conf" <<EOF
# Private print server: every file it writes stays under $dir.
ServerRoot $dir/conf
ServerBin $dir/bin
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
DataDir $datadir
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
# Without this a root cupsd rewrites the system's /run/cups/printcap.
Printcap $dir/printcap
# Read by the capture backend (CUPS 2.4 ignores SetEnv in cupsd.conf).
SetEnv LOADER_CAPTURE_PATH $capture
EOF

    write_file "$dir/conf/cupsd.conf" <<EOF
# Private print server: reachable only through its own socket, no browsing, no web
# interface, no authentication (anyone who can reach the socket may administer it).
Listen $socket
LogLevel ${LOADER_CUPS_LOGLEVEL:-info}
MaxLogSize 0
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultAuthType None
# A failing backend aborts its job and never stops the queue.
ErrorPolicy abort-job
# Ended jobs stay known, so that a follower sees how each one ended.
PreserveJobHistory Yes
MaxJobs 0
PreserveJobFiles No
# Writes printers.conf at once, so a restarted server finds its queues.
DirtyCleanInterval 0
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
    Allow all
  </Limit>
</Policy>
EOF
}

# True when the server answers a request on its socket.
answers() {
    CUPS_SERVER=$socket "$lpstat" -r 2>/dev/null | grep -qx 'scheduler is running'
}

# True when PID is the cupsd of this DIR (a stale pid file may name another process).
is_our_cupsd() {
    local pid=$1
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] &&
        tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$dir/conf/cupsd.conf"
}

stop() {
    local pid
    pid=$(cat "$pidfile" 2>/dev/null || true)
    if is_our_cupsd "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 250); do
            is_our_cupsd "$pid" || break
            sleep 0.02
        done
        if is_our_cupsd "$pid"; then
            kill -KILL "$pid" 2>/dev/null || true
            for _ in $(seq 100); do
                is_our_cupsd "$pid" || break
                sleep 0.02
            done
        fi
    fi
    rm -f "$pidfile" "$socket"
}

cupsd=$(find_tool cupsd cups-daemon)

case $command in
env)
    print_env
    ;;
run)
    configure
    rm -f "$socket"
    echo $$ >"$pidfile"
    exec "$cupsd" -f -c "$dir/conf/cupsd.conf" -s "$dir/conf/cups-files.conf"
    ;;
start)
    lpstat=$(find_tool lpstat cups-client)
    lpadmin=$(find_tool lpadmin cups-client)
    stop
    configure
    # setsid: the server outlives this script and ignores the terminal's signals.
    setsid "$cupsd" -f -c "$dir/conf/cupsd.conf" -s "$dir/conf/cups-files.conf" \
        </dev/null >>"$dir/log/cupsd.out" 2>&1 &
    pid=$!
    echo "$pid" >"$pidfile"
    for _ in $(seq 500); do
        answers && break
        if ! kill -0 "$pid" 2>/dev/null; then
            tail -n 20 "$dir/log/cupsd.out" "$dir/log/error_log" >&2 2>/dev/null || true
            die "cupsd ended at start-up (logs in $dir/log)"
        fi
        sleep 0.02
    done
    if ! answers; then
        stop
        die "cupsd does not answer on $socket after 10 s (logs in $dir/log)"
    fi
    queue=${LOADER_CUPS_QUEUE:-qx7100}
    if [ "$queue" != none ]; then
        # No model (-m) given: the queue is raw, and CUPS 2.4 passes its jobs to the backend untouched.
        CUPS_SERVER=$socket "$lpadmin" -p "$queue" -v "${LOADER_CUPS_DEVICE:-parallel:/dev/lp0}" -E \
            -o printer-error-policy=abort-job || { stop; die "cannot add the queue $queue"; }
        CUPS_SERVER=$socket "$lpadmin" -d "$queue" || { stop; die "cannot make $queue the default"; }
    fi
    print_env
    ;;
stop)
    stop
    ;;
*)
    usage
    ;;
esac
