#!/bin/bash
# The system test of the whole chain as a user meets it; run by tools/sandbox-run.sh, as root
# inside the sandbox: prepares one small tree per signing mode, runs the test client as the
# permitted user, then checks what only root can see (the key ring, the signatures).
#   realchain-systemtest.sh <test client>
set -euo pipefail
client=$1
work=$SANDBOX_DIR

fail() { echo "FAIL: $*" >&2; exit 1; }

# root's key ring starts empty: the client creates the only key.
printf 'DIGSIG_ELF_MODE=0\nDIGSIG_XATTR_MODE=0\n' >/etc/digsig/digsig_initramfs.conf
chmod 0644 /etc/digsig/digsig_initramfs.conf
for mode in 0 1 2; do
    mkdir -p "$work/trees/mode-$mode"
    cp /usr/bin/true "$work/trees/mode-$mode/program"
    echo "just text" >"$work/trees/mode-$mode/notes.txt"
done
chmod -R a+rX "$work/trees"

mkdir -p "$work/bin"
cp "$client" "$work/bin/"
chmod -R a+rX "$work/bin"
user=$SANDBOX_USER
# Every wait of the client has its own deadline; this one only ends a hang.
timeout -k 5 120 runuser -u "$user" -- env HOME="$work/home/$user" DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" \
    QT_QPA_PLATFORM=offscreen DIGSIG_TEST_TREES="$work/trees" "$work/bin/$(basename "$client")"

# keywright made a GOST key (algorithm 0 in the engine's listing) behind a pass phrase.
listing=$(/usr/local/sbin/gpg --batch --with-colons --list-secret-keys)
[ "$(grep -c '^sec:' <<<"$listing")" -eq 1 ] || fail "not exactly one secret key: $listing"
grep -q '^sec:u:256:0:' <<<"$listing" || fail "the key is no GOST key: $listing"
grep -q '^pinentry-program /usr/bin/pinentry-qt$' /root/.gnupg/gpg-agent.conf || fail "agent configuration: $(cat /root/.gnupg/gpg-agent.conf)"
# The signatures are real: a changed file reads as bad.
/usr/bin/bsign -w "$work/trees/mode-2/program" >/dev/null || fail "a file signed in both modes does not verify"
echo "tamper" >>"$work/trees/mode-2/program"
status=0
/usr/bin/bsign -w "$work/trees/mode-2/program" >/dev/null || status=$?
[ "$status" -eq 67 ] || fail "a changed file gave bsign exit code $status, not 67"
echo "PASS: real chain system test"
