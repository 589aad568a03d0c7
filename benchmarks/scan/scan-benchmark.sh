#!/bin/bash
# Run by tools/sandbox-run.sh: a /usr/bin of 2,000 programs, half of them signed, scanned by a
# non-root caller through pkexec and the bsign stand-in, against a serial loop of bsign -w
# run by root.
#   scan-benchmark.sh <benchmark program>
set -euo pipefail
work=$SANDBOX_DIR
programs=$work/usr-bin
mkdir -p "$programs" "$work/bin"
for i in $(seq -w 1 2000); do cp /usr/bin/true "$programs/program-$i"; done
gpg --batch --quiet --passphrase '' --quick-generate-key "Benchmark Signer <bench@example.org>" ed25519 sign never 2>/dev/null
key=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
printf '%s\n' "$programs"/program-*[02468] | xargs -P 2 -I{} /usr/bin/bsign --sign --kind both --key "$key" -- {} >/dev/null
cp "$1" "$work/bin/"
chmod -R a+rX "$work/bin" "$programs"

start=$(date +%s%N)
for file in "$programs"/*; do /usr/bin/bsign -w "$file" >/dev/null 2>&1 || true; done
serial=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')

runuser -u "$SANDBOX_USER" -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QT_QPA_PLATFORM=offscreen \
    "$work/bin/$(basename "$1")" programs "$programs" "$serial"
