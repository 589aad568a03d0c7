#!/bin/bash
# Run by tools/sandbox-run.sh: 2,000 files signed through the helper by a non-root caller,
# once with a bsign that exits at once and once with the bsign stand-in making real GnuPG
# signatures, each against a serial loop of the same bsign command run by root.
#   helperchain-benchmark.sh <benchmark program>
set -euo pipefail
work=$SANDBOX_DIR
files=$work/files
mkdir -p "$files" "$work/bin"
for i in $(seq -w 1 2000); do echo "file $i" >"$files/file-$i"; done
cp "$1" "$work/bin/"
chmod -R a+rX "$work/bin" "$files"

gpg --batch --quiet --passphrase '' --quick-generate-key "Benchmark Signer <bench@example.org>" ed25519 sign never 2>/dev/null
key=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')

# Files per second of bsign started once per file, one after the other.
serial_rate() {
    local start end
    start=$(date +%s%N)
    for file in "$files"/*; do
        /usr/bin/bsign --sign --kind xattr --key "$key" -- "$file" >/dev/null 2>&1 || true
    done
    end=$(date +%s%N)
    awk -v nanoseconds=$((end - start)) 'BEGIN { printf "%.1f", 2000 * 1e9 / nanoseconds }'
}

run() { # <program> <what bsign is> <goal ratio>
    local serial
    serial=$(serial_rate)
    runuser -u "$SANDBOX_USER" -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" \
        "$work/bin/$(basename "$1")" "$files" "$key" "$2" "$serial" "$3"
}

run "$1" "the bsign stand-in making real GnuPG signatures" 1.7
mount --bind /usr/bin/true /usr/bin/bsign
run "$1" "a bsign that exits at once" 1.5
