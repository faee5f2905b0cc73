#!/usr/bin/env python3
"""Agent of the virtual bench, run in the guest by the unit vm-agent.service:
reads commands from the host on a virtio-serial port, one JSON object a line
({"id": N, "cmd": "shell text", "timeout": S}), runs each with bash as root and
answers {"id": N, "rc": CODE, "out": TEXT} (standard output and error
together). Says {"ready": true} when it starts. Each command and anything that
goes wrong is written to the kernel log, so that the guest's console (kept by
the host) shows what the agent was doing."""

import json
import os
import subprocess
import sys
import time
import traceback


def kmsg(text):
    try:
        with open("/dev/kmsg", "w") as k:
            k.write("vm-agent: %s\n" % text[:900].replace("\n", " | "))
    except OSError:
        pass


def write_all(fd, data):
    while data:
        try:
            done = os.write(fd, data)
        except BlockingIOError:
            time.sleep(0.05)
            continue
        data = data[done:]


def serve(fd):
    def send(obj):
        write_all(fd, json.dumps(obj).encode() + b"\n")

    send({"ready": True})
    pending = b""
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            # The host end is not connected: wait for it.
            time.sleep(0.2)
            continue
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if not line.strip():
                continue
            try:
                request = json.loads(line)
            except ValueError:
                send({"id": None, "rc": 255, "out": "not JSON: %r" % line[:200]})
                continue
            timeout = request.get("timeout", 120)
            kmsg("run %s: %s" % (request.get("id"), request.get("cmd", "")))
            try:
                done = subprocess.run(["/bin/bash", "-c", request["cmd"]],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=timeout,
                                      start_new_session=True)
                answer = {"rc": done.returncode, "out": done.stdout.decode("utf-8", "replace")}
            except subprocess.TimeoutExpired as e:
                answer = {"rc": 124, "out": (e.stdout or b"").decode("utf-8", "replace")
                          + "\n(timed out after %s s)" % timeout}
            except Exception:
                answer = {"rc": 255, "out": "the agent could not run it:\n" + traceback.format_exc()}
            answer["id"] = request.get("id")
            kmsg("done %s: status %s" % (answer["id"], answer["rc"]))
            send(answer)


def main():
    port = sys.argv[1]
    for _ in range(600):
        if os.path.exists(port):
            break
        time.sleep(0.1)
    fd = os.open(port, os.O_RDWR)
    while True:
        try:
            serve(fd)
        except Exception:
            kmsg("error: " + traceback.format_exc())
            time.sleep(1)


main()
