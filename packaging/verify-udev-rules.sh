#!/bin/sh
# udev's own check of rules files: `udevadm verify` (systemd 254 and later).
# Exits 77 (skipped) where this udevadm does not have it.
command -v udevadm >/dev/null 2>&1 || { echo "no udevadm: skipped"; exit 77; }
udevadm verify --help >/dev/null 2>&1 || { echo "udevadm has no verify (systemd < 254): skipped"; exit 77; }
exec udevadm verify --resolve-names=never "$@"
