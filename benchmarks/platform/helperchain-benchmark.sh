#!/bin/bash
# Run by tools/sandbox-run.sh: 2,000 files, a bsign that exits at once, the caller non-root.
#   helperchain-benchmark.sh <benchmark program>
set -euo pipefail
work=$SANDBOX_DIR
mkdir -p "$work/files" "$work/bin"
for i in $(seq -w 1 2000); do : >"$work/files/file-$i"; done
mount --bind /usr/bin/true /usr/bin/bsign
cp "$1" "$work/bin/"
chmod -R a+rX "$work/bin" "$work/files"
runuser -u "$SANDBOX_USER" -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" "$work/bin/$(basename "$1")" "$work/files"
