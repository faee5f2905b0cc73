#!/usr/bin/env python3
"""The virtual bench's host side: boots the guest image with QEMU, wires its
devices to the decoder simulator, plugs and unplugs USB adapters through QEMU's
monitor (QMP), drives the guest through its agent (virtio-serial) and prints
one line per check, "ok ..." or "FAIL ...", then "N passed, M failed".

    driver.py --image DIR --deb FILE --sim PROGRAM --work DIR

Exit status: 0 when every check passed, 1 otherwise (also when the bench
cannot be set up: QEMU missing, the boot timing out).
"""

import argparse
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TECH = "tech"
DISPLAY = ":1"
FTDI_SERIAL = "QX71A001"
OTHER_SERIAL = "QX71B002"
IMAGE_SIZE = 3 * 65536 + 4321


class BenchError(Exception):
    """The bench itself failed (not a check): the run stops here."""


class KvmBroken(Exception):
    """KVM stopped the guest with an internal error (seen with nested
    virtualisation): run.sh then boots the guest in software emulation."""


class Results:
    def __init__(self, log):
        self.passed = 0
        self.failed = 0
        self.log = log

    def check(self, ok, text, detail=""):
        line = ("ok " if ok else "FAIL ") + text
        print(line, flush=True)
        self.log.write(line + "\n")
        if detail:
            self.log.write("".join("    " + l + "\n" for l in detail.rstrip("\n").split("\n")))
        self.log.flush()
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def note(self, text):
        self.log.write("# " + text + "\n")
        self.log.flush()


# ---- QEMU's monitor ----------------------------------------------------------

def connect_unix(path, timeout, what, check=lambda: None):
    """Connects to the Unix socket at path, trying again until it is there;
    check() may raise to give up sooner (the other end died)."""
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            check()
            if time.monotonic() > deadline:
                raise BenchError("%s %s did not come up" % (what, path))
            time.sleep(0.1)

class Qmp:
    def __init__(self, path, process, log, timeout=30):
        def qemu_still_up():
            if process.poll() is not None:
                with open(log, errors="replace") as f:
                    said = " ".join(f.read().split())[-600:]
                raise BenchError("QEMU ended at once (status %s): %s" % (process.returncode, said))

        self.sock = connect_unix(path, timeout, "QEMU's monitor socket", qemu_still_up)
        self.file = self.sock.makefile("rwb", buffering=0)
        self.events = []
        self._read()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise BenchError("QEMU's monitor closed (QEMU ended?)")
        return json.loads(line)

    def execute(self, command, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self.file.write(json.dumps(request).encode() + b"\n")
        while True:
            answer = self._read()
            if "event" in answer:
                self.events.append(answer)
                continue
            if "error" in answer:
                raise BenchError("QMP %s: %s" % (command, answer["error"].get("desc")))
            return answer.get("return")

    def wait_event(self, name, device, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    self.events.remove(e)
                    return True
            if time.monotonic() > deadline:
                return False
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                answer = self._read()
            except (socket.timeout, TimeoutError):
                continue
            finally:
                self.sock.settimeout(None)
            if "event" in answer:
                self.events.append(answer)


# ---- the guest's agent -------------------------------------------------------

class Agent:
    def __init__(self, path, timeout=30):
        self.sock = connect_unix(path, timeout, "the agent's socket")
        self.pending = b""
        self.next_id = 1

    def _line(self, deadline):
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, TimeoutError):
                return None
            if not chunk:
                raise BenchError("the agent's channel closed (the guest went down?)")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def wait_ready(self, timeout, broken):
        """Waits for the agent's first word; False after TIMEOUT s or as soon
        as BROKEN() says the guest cannot come up."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if broken():
                return False
            message = self._line(min(deadline, time.monotonic() + 2))
            if message is not None and message.get("ready"):
                return True
        return False

    def run(self, cmd, timeout=60):
        ident = self.next_id
        self.next_id += 1
        self.sock.sendall(json.dumps({"id": ident, "cmd": cmd, "timeout": timeout}).encode() + b"\n")
        deadline = time.monotonic() + timeout + 30
        while True:
            message = self._line(deadline)
            if message is None:
                raise BenchError("the guest did not answer within %d s: %s" % (timeout + 30, cmd[:120]))
            if message.get("id") == ident:
                return message["rc"], message["out"]

    def send_only(self, cmd):
        self.sock.sendall(json.dumps({"id": 0, "cmd": cmd, "timeout": 60}).encode() + b"\n")


# ---- the decoder simulator ---------------------------------------------------

class Sim:
    def __init__(self, program, work, name, arguments):
        self.name = name
        self.out_path = os.path.join(work, name + ".out")
        self.err = open(os.path.join(work, name + ".err"), "wb")
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen([program] + arguments, stdout=self.out, stderr=self.err,
                                     stdin=subprocess.DEVNULL)
        self.pty = None
        deadline = time.monotonic() + 20
        while self.pty is None:
            for line in self.lines():
                if line.startswith("pty: "):
                    self.pty = line[5:]
            if self.pty is None:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise BenchError("the decoder simulator (%s) did not start: see %s" % (name, self.err.name))
                time.sleep(0.05)

    def lines(self):
        with open(self.out_path, "r", errors="replace") as f:
            return f.read().splitlines()

    def wait_line(self, pattern, timeout, after=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.lines()[after:]:
                if re.search(pattern, line):
                    return line
            time.sleep(0.2)
        return None

    def signal(self, number):
        self.proc.send_signal(number)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---- the bench ---------------------------------------------------------------

class Bench:
    def __init__(self, args, results):
        self.args = args
        self.r = results
        self.work = args.work
        self.share = os.path.join(self.work, "share")
        self.qemu = None
        self.sims = []
        self.saves = 0

    # -- set-up --
    def start(self):
        w = self.work
        os.makedirs(self.share, exist_ok=True)
        os.chmod(self.share, 0o777)
        shutil.copy(os.path.join(HERE, "agent.py"), self.share)
        deb_name = os.path.basename(self.args.deb)
        shutil.copy(self.args.deb, os.path.join(self.share, deb_name))
        self.deb_name = deb_name
        # The image the technician loads: random bytes, every value present.
        rng = random.Random(7100)
        data = bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE))
        self.image = os.path.join(self.share, "qx7100.bin")
        with open(self.image, "wb") as f:
            f.write(data)
        os.chmod(self.image, 0o644)
        self.image_sha = hashlib.sha256(data).hexdigest()

        self.lpt_out = os.path.join(w, "lpt.out")
        open(self.lpt_out, "wb").close()
        spare = os.path.join(w, "spare.capture")
        open(spare, "wb").close()
        # COM1's decoder: behind the FTDI adapter; its parallel port is the
        # guest's emulated PC parallel port (a file QEMU appends to).
        self.sim1 = Sim(self.args.sim, w, "decoder-com1",
                        ["--no-banner", "--baud", "38400", "--capture", self.lpt_out, "--expect", self.image,
                         "--timeout", "20"])
        self.sims.append(self.sim1)
        # COM2's decoder: on the guest's second 16550 (ttyS1), paced at 38400 baud.
        self.sim2 = Sim(self.args.sim, w, "decoder-com2",
                        ["--no-banner", "--baud", "38400", "--capture", spare])
        self.sims.append(self.sim2)

        overlay = os.path.join(w, "overlay.qcow2")
        if os.path.exists(overlay):
            os.remove(overlay)
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-b",
                        os.path.join(self.args.image, "base.raw"), "-F", "raw", overlay], check=True)
        accel = self.args.accel
        for name in ("qmp.sock", "agent.sock"):
            if os.path.exists(os.path.join(w, name)):
                os.remove(os.path.join(w, name))
        cmd = [self.args.qemu,
               "-nodefaults", "-display", "none", "-vga", "none", "-no-reboot",
               "-machine", "pc,accel=" + accel, "-cpu", "qemu64" if accel == "kvm" else "max",
               "-m", self.args.memory, "-smp", "2",
               "-kernel", os.path.join(self.args.image, "vmlinuz"),
               "-initrd", os.path.join(self.args.image, "initrd.img"),
               "-append", "root=/dev/vda rw console=ttyS0,115200 net.ifnames=0 panic=-1 systemd.show_status=1",
               "-drive", "file=%s,if=virtio,format=qcow2,cache=unsafe" % overlay,
               "-chardev", "file,id=console,path=%s" % os.path.join(w, "console.log"),
               "-serial", "chardev:console",
               "-chardev", "serial,id=com2,path=%s" % self.sim2.pty,
               "-serial", "chardev:com2",
               "-chardev", "file,id=lpt,path=%s,append=on" % self.lpt_out,
               "-parallel", "chardev:lpt",
               "-device", "qemu-xhci,id=xhci",
               "-chardev", "serial,id=ftdi,path=%s" % self.sim1.pty,
               # The other adapters' host ends: QEMU attaches a USB serial
               # adapter only while its character device is open, which a
               # "null" one never is.
               "-chardev", "file,id=spare1,path=%s" % os.path.join(w, "spare1.out"),
               "-chardev", "file,id=spare2,path=%s" % os.path.join(w, "spare2.out"),
               "-device", "virtio-rng-pci",
               "-fsdev", "local,id=hostfs,path=%s,security_model=none" % self.share,
               "-device", "virtio-9p-pci,fsdev=hostfs,mount_tag=host",
               "-device", "virtio-serial-pci",
               "-chardev", "socket,id=agent,path=%s,server=on,wait=off" % os.path.join(w, "agent.sock"),
               "-device", "virtserialport,chardev=agent,name=org.qx7100.agent",
               "-qmp", "unix:%s,server=on,wait=off" % os.path.join(w, "qmp.sock")]
        with open(os.path.join(w, "qemu.cmd"), "w") as f:
            f.write(" ".join(shlex.quote(c) for c in cmd) + "\n")
        self.qemu_log = open(os.path.join(w, "qemu.log"), "wb")
        started = time.monotonic()
        self.qemu = subprocess.Popen(cmd, stdout=self.qemu_log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.qmp = Qmp(os.path.join(w, "qmp.sock"), self.qemu, self.qemu_log.name)
        self.agent = Agent(os.path.join(w, "agent.sock"))
        def broken():
            if self.qemu.poll() is not None:
                return True
            with open(self.qemu_log.name, errors="replace") as f:
                return "KVM internal error" in f.read()

        if not self.agent.wait_ready(self.args.boot_timeout, broken):
            with open(self.qemu_log.name, errors="replace") as f:
                if "KVM internal error" in f.read():
                    self.qemu.kill()
                    self.qemu.wait()
                    raise KvmBroken()
            if self.qemu.poll() is not None:
                raise BenchError("QEMU ended during the boot (status %s): see %s"
                                 % (self.qemu.returncode, self.qemu_log.name))
            raise BenchError("boot timeout: the guest's agent did not answer within %d s (%s): see %s"
                             % (self.args.boot_timeout, accel, os.path.join(w, "console.log")))
        self.boot_seconds = time.monotonic() - started
        self.r.check(True, "boot: the Debian 13 guest is up in %.0f s (%s)" % (self.boot_seconds, accel))

    def stop(self):
        if self.qemu and self.qemu.poll() is None:
            try:
                self.agent.send_only("systemctl poweroff")
                self.qemu.wait(120)
                self.r.check(self.qemu.returncode == 0, "poweroff: the guest powered off with systemctl poweroff")
            except (subprocess.TimeoutExpired, OSError, BenchError):
                self.r.check(False, "poweroff: the guest did not power off within 120 s; QEMU killed")
                self.qemu.kill()
                self.qemu.wait()
        for sim in self.sims:
            sim.stop()

    # -- guest commands --
    def g(self, cmd, timeout=60):
        return self.agent.run(cmd, timeout)

    def gu(self, cmd, timeout=60):
        """Runs CMD as the technician, on the guest's X display."""
        wrapped = ("runuser -u %s -- env HOME=/home/%s DISPLAY=%s XDG_RUNTIME_DIR=/tmp/runtime-%s "
                   "LANG=C.UTF-8 bash -c %s" % (TECH, TECH, DISPLAY, TECH, shlex.quote(cmd)))
        return self.agent.run(wrapped, timeout)

    def wait_guest(self, condition, timeout=30):
        rc, out = self.g("for i in $(seq %d); do ( %s ) && exit 0; sleep 0.25; done; exit 1"
                         % (int(timeout * 4), condition), timeout + 30)
        return rc == 0

    def plug(self, ident, chardev, serial, port):
        options = {"driver": "usb-serial", "id": ident, "chardev": chardev, "bus": "xhci.0", "port": str(port)}
        if serial is not None:
            options["serial"] = serial
        self.qmp.execute("device_add", **options)

    def unplug(self, ident):
        self.qmp.execute("device_del", id=ident)
        if not self.qmp.wait_event("DEVICE_DELETED", ident, 60):
            raise BenchError("QEMU did not finish unplugging %s within 60 s" % ident)

    # -- the loader's window, by keys --
    def keys(self, *keys):
        return self.gu("xdotool search --sync --name '^Velantra Loader$' windowactivate --sync %1 >/dev/null 2>&1;"
                       " xdotool key --clearmodifiers --delay 150 " + " ".join(keys), 60)

    def warnings(self):
        rc, out = self.gu("xdotool search --name '^Warning$' 2>/dev/null || true")
        return out.split()

    def warning_text(self, window):
        """The text of a message box: Qt copies it to the clipboard on Ctrl+C."""
        self.gu("xdotool windowactivate --sync %s; sleep 0.5; xdotool key --delay 100 ctrl+c" % window)
        rc, out = self.gu("sleep 0.5; timeout 5 xclip -o -selection clipboard 2>/dev/null || true")
        return out

    def dismiss(self, window):
        self.gu("xdotool windowactivate --sync %s; xdotool key --delay 100 Return" % window)

    def dialog_enter(self, path):
        """Types PATH into the file dialog that is open and accepts it."""
        rc, out = self.gu("for i in $(seq 120); do w=$(xdotool search --name '%s' | head -n 1);"
                          " [ -n \"$w\" ] && break; sleep 0.25; done; [ -n \"$w\" ] || exit 1;"
                          " xdotool windowactivate --sync \"$w\"; sleep 0.5;"
                          " xdotool key --delay 100 ctrl+a; xdotool type --delay 30 %s;"
                          " xdotool key --delay 100 Return; sleep 1;"
                          " for i in $(seq 60); do xdotool search --name '%s' >/dev/null || exit 0;"
                          " sleep 0.25; done; exit 2"
                          % (self.dialog_title, shlex.quote(path), self.dialog_title), 120)
        return rc == 0

    def save_spy_log(self):
        """File > Save spy log... to a new file; returns its text (None when it failed)."""
        self.saves += 1
        path = "/home/%s/spy-%d.log" % (TECH, self.saves)
        self.keys("alt+f", "s")
        if not self.dialog_enter(path):
            return None
        if not self.wait_guest("test -s %s" % path, 20):
            return None
        rc, out = self.g("cat %s" % path)
        with open(os.path.join(self.work, "spy-%d.log" % self.saves), "w") as f:
            f.write(out)
        return out

    def spy_wait(self, text, timeout, count=1):
        """Saves the spy log until TEXT shows COUNT times in it."""
        deadline = time.monotonic() + timeout
        log = ""
        while time.monotonic() < deadline:
            log = self.save_spy_log() or ""
            if log.count(text) >= count:
                return True, log
            time.sleep(2)
        return False, log

    def screenshot(self, name):
        path = os.path.join(self.work, name)
        self.gu("import -window root /tmp/%s && cp /tmp/%s /mnt/host/%s" % (name, name, name), 60)
        if os.path.exists(os.path.join(self.share, name)):
            shutil.move(os.path.join(self.share, name), path)
            return path
        return None


def run(bench, r):
    b = bench
    # ---- a. the package, the print server, check on a new bench
    rc, out = b.g("cp /mnt/host/%s /tmp/ && cd /tmp && DEBIAN_FRONTEND=noninteractive "
                  "apt-get install -y --no-install-recommends ./%s" % (b.deb_name, b.deb_name), 600)
    r.check(rc == 0, "a: apt-get install ./%s in the guest (no network)" % b.deb_name, out[-3000:])
    rc, out = b.g("systemctl enable --now cups && systemctl is-active cups", 120)
    r.check(rc == 0, "a: systemctl enable --now cups: %s" % out.strip().split("\n")[-1], out)
    rc, out = b.gu("load_qx7100-bench check")
    lines = [l for l in out.split("\n") if l.strip()]
    fails = [l for l in lines if l.startswith("FAIL")]
    warns = [l for l in lines if l.startswith("WARN")]
    r.check(rc == 1 and len(fails) > 0,
            "a: load_qx7100-bench check on a new bench exits %d with %d FAIL and %d WARN lines"
            % (rc, len(fails), len(warns)), out)

    # ---- b. the FTDI adapter, udev for real
    b.plug("ftdi1", "ftdi", FTDI_SERIAL, 1)
    up = b.wait_guest("udevadm settle; test -c /dev/ttyUSB0", 60)
    rc, out = b.g("udevadm info -q property -n /dev/ttyUSB0 | grep -E '^(ID_VENDOR_ID|ID_MODEL_ID|ID_SERIAL_SHORT|ID_USB_DRIVER)='")
    r.check(up and FTDI_SERIAL in out and "ftdi_sio" in out,
            "b: the FTDI adapter %s plugged in is /dev/ttyUSB0 under ftdi_sio" % FTDI_SERIAL, out)
    rc, out = b.g("load_qx7100-bench com1 /dev/ttyUSB0 && udevadm settle && readlink -f /dev/com1", 120)
    rule_rc, rule = b.g("cat /etc/udev/rules.d/60-load-qx7100-com1.rules")
    r.check(rc == 0 and out.strip().endswith("/dev/ttyUSB0"),
            "b: load_qx7100-bench com1 /dev/ttyUSB0 (udev reloaded and triggered): /dev/com1 -> ttyUSB0",
            out + "\nrule:\n" + rule)
    r.note("rule written: " + rule.strip().replace("\n", " | "))
    b.unplug("ftdi1")
    r.check(b.wait_guest("udevadm settle; ! test -e /dev/com1", 60), "b: adapter unplugged: /dev/com1 goes")
    b.plug("ftdi1", "ftdi", FTDI_SERIAL, 2)
    ok = b.wait_guest("udevadm settle; test -c /dev/com1", 60)
    rc, out = b.g("udevadm info -q property -n /dev/com1 | grep -E '^(ID_SERIAL_SHORT|ID_PATH)='")
    r.check(ok and FTDI_SERIAL in out, "b: plugged into another USB port: /dev/com1 comes back", out)
    b.plug("ftdi2", "spare1", OTHER_SERIAL, 3)
    ok = b.wait_guest("udevadm settle; test -c /dev/ttyUSB1", 60)
    rc, out = b.g("udevadm info -q property -n /dev/com1 | grep -E '^ID_SERIAL_SHORT='; ls -l /dev/com*")
    r.check(ok and FTDI_SERIAL in out and OTHER_SERIAL not in out,
            "b: a second adapter (%s) does not become COM1" % OTHER_SERIAL, out)
    b.unplug("ftdi2")
    b.unplug("ftdi1")
    b.wait_guest("udevadm settle; ! test -e /dev/ttyUSB0", 60)
    # An adapter without a serial number: an empty serial string descriptor.
    b.plug("noserial", "spare2", "", 3)
    ok = b.wait_guest("udevadm settle; test -c /dev/ttyUSB0", 60)
    rc, out = b.g("cat /sys/class/tty/ttyUSB0/device/../../serial 2>&1; "
                  "load_qx7100-bench com1 /dev/ttyUSB0 && udevadm settle && readlink -f /dev/com1; "
                  "cat /etc/udev/rules.d/60-load-qx7100-com1.rules", 120)
    r.check(ok and "/dev/ttyUSB0" in out and "KERNELS" in out,
            "b: an adapter without a serial number gets the socket rule", out)
    r.note("socket rule: " + out.strip().replace("\n", " | "))
    b.unplug("noserial")
    b.plug("noserial", "spare2", "", 4)
    moved = b.wait_guest("udevadm settle; test -c /dev/ttyUSB0", 60) and b.wait_guest("udevadm settle; ! test -e /dev/com1", 5)
    b.unplug("noserial")
    b.plug("noserial", "spare2", "", 3)
    back = b.wait_guest("udevadm settle; test -c /dev/com1", 60)
    r.check(moved and back, "b: ... and follows the socket (another socket: no /dev/com1; its socket: back)")
    b.unplug("noserial")
    # COM1 for the loading: the FTDI adapter with its serial number again.
    b.plug("ftdi1", "ftdi", FTDI_SERIAL, 1)
    ok = b.wait_guest("udevadm settle; test -c /dev/ttyUSB0", 60)
    rc, out = b.g("load_qx7100-bench com1 /dev/ttyUSB0 && udevadm settle && readlink -f /dev/com1", 120)
    r.check(ok and rc == 0 and "/dev/ttyUSB0" in out, "b: COM1 set back to the adapter %s" % FTDI_SERIAL, out)

    # ---- c. the PC parallel port
    rc, out = b.g("modprobe parport_pc && modprobe lp && udevadm settle && ls -l /dev/lp0 && "
                  "load_qx7100-bench lpt1 && lpstat -v && lpstat -d", 120)
    r.check(rc == 0 and "parallel:/dev/lp0" in out, "c: parport_pc + lp give /dev/lp0; load_qx7100-bench lpt1", out)
    rc, out = b.gu("load_qx7100-bench check")
    r.check(rc == 0, "c: load_qx7100-bench check says a loading can work (exit %d)" % rc, out)

    # ---- d. a whole loading in the installed loader, by keys
    b.g("cp /mnt/host/qx7100.bin /home/%s/ && chown %s: /home/%s/qx7100.bin && "
        "install -d -o %s -m 700 /tmp/runtime-%s" % (TECH, TECH, TECH, TECH, TECH))
    rc, out = b.gu("setsid -f Xvfb %s -screen 0 1024x768x24 -nolisten tcp >/tmp/xvfb.log 2>&1 </dev/null;"
                   " for i in $(seq 120); do [ -S /tmp/.X11-unix/X1 ] && break; sleep 0.25; done;"
                   " setsid -f openbox >/tmp/openbox.log 2>&1 </dev/null;"
                   " setsid -f load_qx7100 >/home/%s/loader.log 2>&1 </dev/null;"
                   " for i in $(seq 480); do xdotool search --name '^Velantra Loader$' && exit 0;"
                   " sleep 0.25; done; exit 1" % (DISPLAY, TECH), 180)
    if rc != 0:
        out += b.gu("cat /tmp/xvfb.log /tmp/openbox.log /home/%s/loader.log" % TECH)[1]
    r.check(rc == 0, "d: the loader's window is up under Xvfb, as user %s (dialout, lp)" % TECH, out)
    # The window made larger, as a technician would, so that the status bar
    # shows its panels whole in the screenshot.
    b.gu("xdotool search --name '^Velantra Loader$' windowmove --sync %1 0 0 windowsize --sync %1 1000 700")
    b.keys("alt+f", "Right", "Return")  # Com > Com1 (the first item is selected on opening)
    time.sleep(2)
    warn = b.warnings()
    r.check(not warn, "d: Com > Com1 opens /dev/com1 (the FTDI adapter) without a warning",
            "\n".join(b.warning_text(w) for w in warn))
    for w in warn:
        b.dismiss(w)
    b.sim1.signal(signal.SIGUSR1)  # power-on: the banner
    b.dialog_title = "Save"
    ok, log = b.spy_wait("attente negociation", 120)
    r.check(ok, "d: boot: \"attente negociation\" in the spy display (through ftdi_sio)", log[-2000:])
    b.keys("alt+f", "b")  # File > bin_file_to_load
    b.dialog_title = "Open|bin"
    ok = b.dialog_enter("/home/%s/qx7100.bin" % TECH)
    r.check(ok, "d: File > bin_file_to_load: /home/%s/qx7100.bin chosen" % TECH)
    lines_before = len(b.sim1.lines())
    b.keys("alt+f", "Right", "Right", "Return")  # Start
    started = time.monotonic()
    loaded = b.sim1.wait_line(r"^loaded: ", b.args.load_timeout, lines_before)
    r.check(loaded is not None and loaded.startswith("loaded: ok %d bytes" % IMAGE_SIZE),
            "d: Start: the simulator received the image through the emulated parallel port: %s (%.0f s)"
            % (loaded or "nothing within %d s" % b.args.load_timeout, time.monotonic() - started),
            "\n".join(b.sim1.lines()[lines_before:]))
    b.dialog_title = "Save"
    ok, log = b.spy_wait("mettre sous tension le decodeur !!!", 60)
    blocks = [l for l in log.split("\n") if "bloc" in l]
    r.check(ok, "d: \"mettre sous tension le decodeur !!!\" in the spy display after %d block lines" % len(blocks),
            log[-3000:])
    # The saved spy log's header records each image sent with the outcome
    # that the job panel shows.
    ok, log = b.spy_wait("job 1: sent %d bytes" % IMAGE_SIZE, 120)
    r.check(ok, "d: the job panel ends \"sent %d bytes\" (the saved spy log's header: %s)"
            % (IMAGE_SIZE, " / ".join(l.strip() for l in log.split("---- spy display")[0].split("\n")[4:] if l.strip())),
            log.split("---- spy display")[0])
    shot = b.screenshot("loading-d.png")
    r.check(shot is not None, "d: screenshot of the window at the end: %s" % shot)

    # ---- f. a USB-parallel adapter: usblp on the kernel's printer gadget
    gadget = """set -e
modprobe dummy_hcd; modprobe libcomposite; modprobe usb_f_printer
mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
G=/sys/kernel/config/usb_gadget/qxlpt
mkdir -p $G; cd $G
echo 0x0525 > idVendor; echo 0xa4a8 > idProduct
mkdir -p strings/0x409; echo VM-LPT-1 > strings/0x409/serialnumber
echo Velantra > strings/0x409/manufacturer; echo 'USB parallel (test gadget)' > strings/0x409/product
mkdir -p functions/printer.usb0
echo 'MFG:Velantra;MDL:VM-LPT;CMD:RAW;CLS:PRINTER;' > functions/printer.usb0/pnp_string
echo 10 > functions/printer.usb0/q_len
mkdir -p configs/c.1; ln -sf $G/functions/printer.usb0 configs/c.1/
ls /sys/class/udc > UDC
for i in $(seq 120); do [ -c /dev/usb/lp0 ] && [ -c /dev/g_printer0 ] && break; sleep 0.25; done
udevadm settle
ls -l /dev/usb/lp0 /dev/g_printer0
"""
    rc, out = b.g(gadget, 120)
    r.check(rc == 0, "f: dummy_hcd + printer gadget: usblp gives /dev/usb/lp0, its far end /dev/g_printer0", out)
    reader = ("setsid -f python3 -c %s >/tmp/gadget.log 2>&1 </dev/null" % shlex.quote(
        "import os,sys,time\n"
        "n=int(sys.argv[1]); fd=os.open('/dev/g_printer0',os.O_RDWR); got=b''\n"
        "while len(got)<n:\n"
        "    c=os.read(fd,65536)\n"
        "    got+=c\n"
        "open('/tmp/gadget.bin','wb').write(got)\n"))
    rc, out = b.g("rm -f /tmp/gadget.bin; load_qx7100-bench lpt1 /dev/usb/lp0 && lpstat -v && "
                  + reader.replace("2>&1 </dev/null", "2>&1 </dev/null") + " " + str(IMAGE_SIZE), 120)
    r.check(rc == 0 and "parallel:/dev/usb/lp0" in out,
            "f: load_qx7100-bench lpt1 /dev/usb/lp0: the raw queue on parallel:/dev/usb/lp0 is LPT1:", out)
    b.keys("alt+f", "Right", "Right", "Return")  # Start
    ok = b.wait_guest("test -s /tmp/gadget.bin", b.args.load_timeout)
    rc, out = b.g("sha256sum /tmp/gadget.bin /home/%s/qx7100.bin; stat -c %%s /tmp/gadget.bin" % TECH)
    r.check(ok and out.count(b.image_sha) == 2,
            "f: the image sent by Start arrived byte for byte at /dev/g_printer0 (%d bytes, sha256 %s...)"
            % (IMAGE_SIZE, b.image_sha[:16]), out)

    # Paper out, reported by the gadget during a job.
    paper = """import fcntl, os, struct, sys, time
fd = os.open('/dev/g_printer0', os.O_RDWR)
# The printer function takes the new status as the argument itself and gives
# it back as the return value.
SET = 0xC0016722  # GADGET_SET_PRINTER_STATUS
GET = 0x80016721  # GADGET_GET_PRINTER_STATUS
fcntl.ioctl(fd, SET, int(sys.argv[1], 0))
print('printer status now 0x%02x' % fcntl.ioctl(fd, GET, 0), flush=True)
time.sleep(float(sys.argv[2]))
"""
    b.g("cat > /tmp/paper.py <<'EOF'\n%sEOF\n" % paper)
    # 0x20 paper empty, without "selected" and "no error".
    b.g("setsid -f python3 /tmp/paper.py 0x20 600 >/tmp/paper.log 2>&1 </dev/null; sleep 1")
    b.keys("alt+f", "Right", "Right", "Return")  # Start
    time.sleep(45)
    rc, lp = b.g("cat /tmp/paper.log; lpstat -l -o; lpstat -p -l; dmesg | grep -i usblp | tail -n 5")
    warn = b.warnings()
    texts = [b.warning_text(w) for w in warn]
    log = b.save_spy_log() or ""
    panel = "\n".join(l.strip() for l in log.split("---- spy display")[0].split("\n") if l.strip().startswith("job "))
    shot = b.screenshot("paper-out-f.png")
    r.note("paper out: lpstat and kernel: " + lp.replace("\n", " | "))
    r.note("paper out: warnings: %r" % texts)
    r.note("paper out: job panel: %r" % panel)
    r.check(b.qemu.poll() is None and b.gu("xdotool search --name '^Velantra Loader$' >/dev/null")[0] == 0,
            "f: paper out during a job: the loader stays up; job panel: %s; warnings: %d; lpstat: %s"
            % (" / ".join(l for l in panel.split("\n") if l.strip()) or "(unread)", len(texts),
               " / ".join(l.strip() for l in lp.split("\n") if l.strip())[:300]),
            "screenshot %s\n%s" % (shot, "\n".join(texts)))
    for w in warn:
        b.dismiss(w)
    # Paper back: the job goes on, or is cancelled; nothing stays queued.
    b.g("pkill -f /tmp/paper.py; python3 /tmp/paper.py 0x18 0; cancel -a; true")

    # ---- e. the adapter unplugged while the decoder talks
    lines_before = len(b.sim1.lines())
    b.sim1.signal(signal.SIGUSR1)
    time.sleep(0.1)
    b.unplug("ftdi1")
    ok = b.wait_guest("! test -e /dev/com1", 60)
    found = []
    deadline = time.monotonic() + 60
    while not found and time.monotonic() < deadline:
        found = b.warnings()
        time.sleep(1)
    # The box's text is read through the clipboard (a message box copies it
    # on Ctrl+C) where that works; the screenshot shows it in any case.
    text = b.warning_text(found[0]) if found else ""
    shot = b.screenshot("unplugged-e.png")
    r.note("e: warning windows %r, text %r; screenshot %s" % (found, text, shot))
    for w in found:
        b.dismiss(w)
    b.dialog_title = "Save"
    log = b.save_spy_log() or ""
    # (The log's lines end in CR LF.)
    closed = re.search(r"^Port: COM1 \(/dev/com1\), closed\r?$", log, re.M)
    r.check(ok and bool(found) and bool(closed) and (not text.strip() or "COM1" in text),
            "e: adapter unplugged while the decoder talks: a warning box (%s), the port closed (%s); screenshot %s"
            % (" ".join(text.split())[:200] or "text in the screenshot",
               closed.group(0).strip() if closed else "the saved log does not say it closed", shot), text + "\n" + log[:600])
    b.plug("ftdi1", "ftdi", FTDI_SERIAL, 1)
    b.wait_guest("udevadm settle; test -c /dev/com1", 60)
    count = 0
    b.dialog_title = "Save"
    ok, log = b.spy_wait("attente negociation", 5)
    count = log.count("attente negociation")
    b.sim1.signal(signal.SIGUSR1)
    ok, log = b.spy_wait("attente negociation", 90, count + 1)
    r.check(ok, "e: plugged back: the port opens again by itself (a new boot banner reaches the spy display)",
            log[-1500:])

    # ---- g. COM2 on the guest's 16550 (ttyS1), 38400 baud
    rc, out = b.g("cat /proc/tty/driver/serial | head -n 3; setserial -g /dev/ttyS1 2>/dev/null; true")
    r.note("uarts: " + out.replace("\n", " | "))
    ok, log = b.spy_wait("attente negociation", 5)
    count = log.count("attente negociation")
    b.keys("alt+f", "Right", "Down", "Return")  # Com > Com2
    time.sleep(2)
    warn = b.warnings()
    r.check(not warn, "g: Com > Com2 opens the 16550 ttyS1 without a warning",
            "\n".join(b.warning_text(w) for w in warn))
    for w in warn:
        b.dismiss(w)
    b.sim2.signal(signal.SIGUSR1)
    ok, log = b.spy_wait("attente negociation", 120, count + 1)
    r.check(ok, "g: decoder text at 38400 baud on ttyS1 reaches the spy display", log[-1500:])
    shot = b.screenshot("com2-g.png")
    r.note("screenshot after g: %s" % shot)


def main():
    # Stopped from outside: the guest and the simulators are stopped too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(130))
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--deb", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--accel", default="tcg")
    parser.add_argument("--memory", default="1536")
    parser.add_argument("--boot-timeout", type=int, default=300)
    parser.add_argument("--load-timeout", type=int, default=600)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    log = open(os.path.join(args.work, "results.log"), "w")
    r = Results(log)
    bench = Bench(args, r)
    started = time.monotonic()
    try:
        try:
            bench.start()
        except KvmBroken:
            for sim in bench.sims:
                sim.stop()
            print("== vm: KVM stopped the guest with an internal error (%s/qemu.log)" % args.work, flush=True)
            return 3
        run(bench, r)
    except BenchError as e:
        r.check(False, "bench: %s" % e)
    except Exception as e:  # a fault of the driver itself still ends in a count
        r.check(False, "driver: %s: %s" % (type(e).__name__, e))
    except SystemExit:
        r.check(False, "driver: stopped from outside")
    finally:
        try:
            bench.stop()
        except Exception as e:
            r.check(False, "stop: %s: %s" % (type(e).__name__, e))
    total = "%d passed, %d failed" % (r.passed, r.failed)
    r.note("took %.0f s; work folder %s" % (time.monotonic() - started, args.work))
    print(total, flush=True)
    log.write(total + "\n")
    return 0 if r.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
