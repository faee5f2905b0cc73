#!/usr/bin/env python3
"""Agent of the virtual bench: reads commands from the host on a virtio-serial
port, one JSON object a line ({"id": N, "cmd": "shell text", "timeout": S}),
runs each with bash as root and answers {"id": N, "rc": CODE, "out": TEXT}
(standard output and error together). Says {"ready": true} when it starts."""

import json
import os
import subprocess
import sys


def main():
    port = sys.argv[1]
    fd = os.open(port, os.O_RDWR)
    stream = os.fdopen(fd, "r+b", buffering=0)

    def send(obj):
        stream.write(json.dumps(obj).encode() + b"\n")

    send({"ready": True})
    pending = b""
    while True:
        chunk = stream.read(65536)
        if not chunk:
            # The host end is not connected: wait for it.
            import time
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
            try:
                done = subprocess.run(["/bin/bash", "-c", request["cmd"]],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT,
                                      timeout=request.get("timeout", 120))
                answer = {"rc": done.returncode,
                          "out": done.stdout.decode("utf-8", "replace")}
            except subprocess.TimeoutExpired as e:
                answer = {"rc": 124, "out": (e.stdout or b"").decode("utf-8", "replace")
                          + "\n(timed out after %s s)" % request.get("timeout", 120)}
            answer["id"] = request.get("id")
            send(answer)


main()
