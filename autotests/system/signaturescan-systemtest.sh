#!/bin/bash
# The signature scan on the real chain; run by tools/sandbox-run.sh as root inside the
# sandbox. Root makes a tree of programs with good, missing, changed and foreign signatures
# in both places, then the test client scans it as the permitted user.
#   signaturescan-systemtest.sh <test client>
set -euo pipefail
client=$1
tree=$SANDBOX_DIR/programs

make_key() { # <name>
    /usr/local/sbin/gpg --batch --quiet --gen-key '-&3' 3<<PARAMS 2>/dev/null
%no-protection
Key-Type: GOST_R34.10-2012
Key-Usage: sign
Name-Real: $1
Expire-Date: 0
%commit
PARAMS
    /usr/local/sbin/gpg --batch --with-colons --list-secret-keys "$1" | awk -F: '/^fpr:/ { print $10; exit }'
}
sign() { # <kind> <key> <file>
    /usr/bin/bsign --sign --kind "$1" --key "$2" -- "$3" >/dev/null
}

printf 'DIGSIG_ELF_MODE=0\nDIGSIG_XATTR_MODE=0\n' >/etc/digsig/digsig_initramfs.conf
own=$(make_key "Scan Signer")
foreign=$(make_key "Foreign Signer")
mkdir -p "$tree/private"
for name in both-good elf-good xattr-good unsigned tampered wrong-key private/program; do
    cp /usr/bin/true "$tree/$name"
done
echo "echo hello" >"$tree/notes.sh"
echo "not listed, not ELF" >"$tree/readme.txt"
sign both "$own" "$tree/both-good"
sign elf "$own" "$tree/elf-good"
sign xattr "$own" "$tree/xattr-good"
sign both "$own" "$tree/tampered"
echo "changed" >>"$tree/tampered"
sign elf "$foreign" "$tree/wrong-key"
sign xattr "$own" "$tree/wrong-key"
sign both "$own" "$tree/private/program"
# The foreign key is not in root's key ring: its signatures do not verify.
/usr/local/sbin/gpg --batch --yes --delete-secret-and-public-key "$foreign" 2>/dev/null
chmod -R a+rX "$tree"
chmod 0700 "$tree/private"

mkdir -p "$SANDBOX_DIR/bin"
cp "$client" "$SANDBOX_DIR/bin/"
chmod -R a+rX "$SANDBOX_DIR/bin"
timeout -k 5 240 runuser -u "$SANDBOX_USER" -- env HOME="$SANDBOX_DIR/home/$SANDBOX_USER" \
    DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QT_QPA_PLATFORM=offscreen \
    DIGSIG_TEST_TREE="$tree" DIGSIG_TEST_KEY="$own" "$SANDBOX_DIR/bin/$(basename "$client")"
