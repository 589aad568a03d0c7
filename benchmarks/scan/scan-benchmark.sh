#!/bin/bash
# Run by tools/sandbox-run.sh: a /usr/bin of 2,000 programs, half of them signed, scanned by a
# non-root caller through pkexec digsig-check and the bsign stand-in, and by digsig-check run by
# root, against a serial loop of bsign -w run by root; the package hook's time after an update
# of 50 programs; digsig-check's memory over 100,000 files.
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

seconds_since() { awk -v ns=$(($(date +%s%N) - $1)) 'BEGIN { printf "%.2f", ns / 1e9 }'; }
met() { awk -v a="$1" -v b="$2" 'BEGIN { print (a >= b ? "met" : "MISSED") }'; }

start=$(date +%s%N)
/usr/bin/digsig-check --dir "$programs" --no-templates --mode ONLY_ELF --format json --quiet >/dev/null || true
alone=$(seconds_since "$start")
ratio=$(awk -v s="$serial" -v a="$alone" 'BEGIN { printf "%.2f", s / a }')
echo "2000 programs checked by digsig-check as root: $alone s | baseline, a serial loop of bsign -w as root: $serial s | ratio $ratio |" \
    "goal at least 1.7: $(met "$ratio" 1.7)"

runuser -u "$SANDBOX_USER" -- env DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QT_QPA_PLATFORM=offscreen \
    "$work/bin/$(basename "$1")" programs "$programs" "$serial"

# The hook after dpkg installed one package of 50 programs, with the ELF control on.
. "$(dirname "$0")/../../tools/sandbox-bus.sh"
sandbox_layers=$work/layers
for dir in /var/lib /var/cache /opt; do sandbox_overlay "$dir"; done
printf 'DIGSIG_ELF_MODE=1\nDIGSIG_XATTR_MODE=0\nDIGSIG_ELF_VERIFICATION_MODE=0\n' >/etc/digsig/digsig_initramfs.conf
package=$work/bench-hook
mkdir -p "$package/DEBIAN" "$package/opt/bench-hook"
printf 'Package: bench-hook\nVersion: 1.0\nArchitecture: all\nMaintainer: Bench <bench@example.org>\nDescription: hook benchmark\n' >"$package/DEBIAN/control"
for i in $(seq -w 1 50); do cp /usr/bin/true "$package/opt/bench-hook/program-$i"; done
dpkg-deb --build "$package" "$work/bench-hook.deb" >/dev/null
dpkg -i "$work/bench-hook.deb" >/dev/null
start=$(date +%s%N)
/usr/bin/digsig-check --after-update >/dev/null
hook=$(seconds_since "$start")
echo "the package hook after an update of one package of 50 programs: $hook s | goal at most 2 s: $(met 2 "$hook")"

# digsig-check's own memory over 100,000 files, with a bsign that answers at once.
many=$work/many
for directory in $(seq -w 1 100); do
    mkdir -p "$many/package-$directory"
    for file in $(seq 1 1000); do printf '\177ELF' >"$many/package-$directory/lib-$file.so.1"; done
done
mount --bind /usr/bin/true /usr/bin/bsign
start=$(date +%s%N)
# Every file is refused (exit status 1); time's last line is the peak in kilobytes.
kilobytes=$({ /usr/bin/time -f %M /usr/bin/digsig-check --dir "$many" --no-templates --mode ONLY_ELF --format json --quiet 2>&1 >/dev/null || true; } | tail -n 1)
umount /usr/bin/bsign
megabytes=$(awk -v k="$kilobytes" 'BEGIN { printf "%.1f", k / 1024 }')
echo "100000 files checked by digsig-check: $megabytes MB at the peak, $(seconds_since "$start") s | goal at most 100 MB: $(met 100 "$megabytes")"
