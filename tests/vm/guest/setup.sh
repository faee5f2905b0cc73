#!/bin/sh
# Runs inside the guest's root while the image is made (chroot, as root): the
# technician's account, the agent that the host drives, and a boot that waits
# for nothing it does not have (no network, no D-Bus).
set -eu

printf 'qx7100-vm\n' >/etc/hostname
printf '127.0.0.1 localhost qx7100-vm\n' >/etc/hosts
printf '/dev/vda / ext4 rw,noatime 0 1\n' >/etc/fstab
# The technician: an ordinary user in the groups a bench gives.
useradd --create-home --shell /bin/bash --groups dialout,lp tech
# Root's console needs no password (the console goes to a log file only).
passwd --delete root >/dev/null

# The print server is switched on by the scenario, as a bench set-up does.
systemctl disable cups.service cups.socket cups.path >/dev/null 2>&1 || true
systemctl mask apt-daily.timer apt-daily-upgrade.timer >/dev/null 2>&1 || true

# The host's folder of this run (9p), and the agent that it holds: the agent
# comes with each run, so changing it does not make a new image.
mkdir -p /mnt/host
cat >/etc/systemd/system/vm-agent.service <<'UNIT'
[Unit]
Description=Agent of the virtual bench (commands from the host over virtio-serial)
After=systemd-udevd.service systemd-udev-trigger.service local-fs.target
Wants=systemd-udevd.service

[Service]
ExecStartPre=/sbin/modprobe -a virtio_console 9pnet_virtio 9p
ExecStartPre=/bin/mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 host /mnt/host
ExecStart=/usr/bin/python3 /mnt/host/agent.py /dev/virtio-ports/org.qx7100.agent

[Install]
WantedBy=multi-user.target
UNIT
systemctl enable vm-agent.service >/dev/null

# No package is installed from inside the guest but the loader's own, which
# brings everything with it.
apt-get clean
rm -rf /tmp/vm-guest
