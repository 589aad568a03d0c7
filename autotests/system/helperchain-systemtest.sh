#!/bin/bash
# The system test of the privileged chain; run by tools/sandbox-run.sh, as root inside the
# sandbox: prepares keys and files, runs the test client as the permitted and as the denied
# user, then checks what only root can see (signatures, the log).
#   helperchain-systemtest.sh <test client>
set -euo pipefail
client=$1
work=$SANDBOX_DIR

fail() { echo "FAIL: $*" >&2; exit 1; }

# A GOST key made through the platform's gpg stand-in in root's (private) GnuPG home.
cat >"$work/key-parameters" <<'PARAMS'
%no-protection
Key-Type: GOST_R34.10-2012
Key-Usage: sign
Name-Real: Sandbox Signer
Name-Email: signer@example.org
Expire-Date: 0
%commit
PARAMS
/usr/local/sbin/gpg --batch --quiet --gen-key '-&3' 3<"$work/key-parameters" 2>/dev/null
key=$(/usr/local/sbin/gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$key" ] || fail "no key was generated"

# The settings file the apply must merge into, and the templates the update reads.
printf '# kept comment\nDIGSIG_ELF_MODE=0\nDIGSIG_ELF_VERIFICATION_MODE=3\n' >/etc/digsig/digsig_initramfs.conf
chmod 0644 /etc/digsig/digsig_initramfs.conf

# Files to sign, readable by the caller, and a directory only root can read.
mkdir -p "$work/tree" "$work/long-tree" "$work/private/sub"
cp /usr/bin/true "$work/tree/a-program"
cp /usr/bin/false "$work/tree/b-program"
echo "just text" >"$work/tree/c-notes.txt"
for i in $(seq -w 1 300); do cp /usr/bin/true "$work/long-tree/program-$i"; done
cp /usr/bin/true "$work/private/program"
echo "text" >"$work/private/notes.txt"
ln -s /usr/bin/true "$work/private/link"
echo "deep" >"$work/private/sub/deep"
chmod 0700 "$work/private"

# A slower boot image update, so a key list can arrive while it runs.
cat >"$work/slow-update" <<'UPDATE'
#!/bin/sh
echo "W: template /no/such/dir/ matches no file"
sleep 2
echo "update-initramfs: done"
UPDATE
chmod 0755 "$work/slow-update"
mount --bind "$work/slow-update" /usr/sbin/update-initramfs

mkdir -p "$work/bin"
cp "$client" "$work/bin/"
chmod -R a+rX "$work/bin"
export DIGSIG_TEST_KEY=$key DIGSIG_TEST_KEY_UID="Sandbox Signer <signer@example.org>" DIGSIG_TEST_TREE=$work/tree \
    DIGSIG_TEST_LONG_TREE=$work/long-tree DIGSIG_TEST_PRIVATE=$work/private
run_client() { # <user> <role> [test functions...]
    local user=$1 role=$2
    shift 2
    runuser -u "$user" -- env HOME="$work/home/$user" DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" DIGSIG_TEST_ROLE="$role" \
        DIGSIG_TEST_KEY="$DIGSIG_TEST_KEY" DIGSIG_TEST_KEY_UID="$DIGSIG_TEST_KEY_UID" DIGSIG_TEST_TREE="$DIGSIG_TEST_TREE" \
        DIGSIG_TEST_LONG_TREE="$DIGSIG_TEST_LONG_TREE" DIGSIG_TEST_PRIVATE="$DIGSIG_TEST_PRIVATE" DIGSIG_TEST_RACE_DIR="${DIGSIG_TEST_RACE_DIR:-}" \
        "$work/bin/$(basename "$client")" "$@"
}
run_client "$SANDBOX_USER" allowed
run_client "$SANDBOX_DENIED_USER" denied deniedCallerGetsAuthorizationError

# The race: while the client signs 200 files of its own, it swaps one of them, and their
# directory, for links to root's files, again and again. Root's files must stay untouched.
race=$work/race
mkdir -p "$race/dir" "$work/root-dir"
for i in $(seq -w 1 200); do cp /usr/bin/true "$race/dir/f-$i"; cp /usr/bin/true "$work/root-dir/f-$i"; done
cp /usr/bin/true "$work/root-file"
chown -R "$SANDBOX_USER" "$race"
root_sums=$(cd "$work" && sha256sum root-file root-dir/*)
runuser -u "$SANDBOX_USER" -- perl -e '
    use Time::HiRes qw(usleep);
    my ($dir, $root_dir, $root_file, $stop, $count) = @ARGV;
    my $swaps = 0;
    until (-e $stop && $swaps >= 1000) {
        rename("$dir/f-100", "$dir/f-100.real") or die "rename: $!";
        symlink($root_file, "$dir/f-100") or die "symlink: $!";
        usleep(int(rand(500)));
        unlink("$dir/f-100"); rename("$dir/f-100.real", "$dir/f-100") or die "restore: $!";
        rename($dir, "$dir.real") or die "rename dir: $!";
        symlink($root_dir, $dir) or die "symlink dir: $!";
        usleep(int(rand(500)));
        unlink($dir); rename("$dir.real", $dir) or die "restore dir: $!";
        $swaps++;
        usleep(2000);
    }
    open(my $out, ">", $count); print $out $swaps;
' "$race/dir" "$work/root-dir" "$work/root-file" "$race/stop" "$race/swaps" &
swapper=$!
DIGSIG_TEST_RACE_DIR=$race/dir run_client "$SANDBOX_USER" race signingRaceReachesNoLinkTarget
touch "$race/stop"
wait "$swapper" || fail "the link swapper failed"
[ "$(cat "$race/swaps")" -ge 1000 ] || fail "only $(cat "$race/swaps") swaps"
[ "$(cd "$work" && sha256sum root-file root-dir/*)" = "$root_sums" ] || fail "a file of root's changed during the race"
if getfattr --absolute-names -d -m 'security\.bsign' "$work/root-file" "$work/root-dir" "$work"/root-dir/* 2>/dev/null | grep -q bsign; then
    fail "a file of root's gained a signature during the race"
fi

# The signatures are real: the stand-in verifies them, and a changed file reads as bad.
report=$(/usr/bin/bsign -w "$work/tree/a-program") || fail "bsign -w of a signed file: $report"
grep -q "^xattr signature: good" <<<"$report" || fail "xattr signature not good: $report"
grep -q "^ELF signature: good" <<<"$report" || fail "ELF signature not good: $report"
echo "tamper" >>"$work/tree/a-program"
status=0
/usr/bin/bsign -w "$work/tree/a-program" >/dev/null || status=$?
[ "$status" -eq 67 ] || fail "a changed file gave bsign exit code $status, not 67"

# The log: a header with the caller's uid; the forged line break stays inside its line.
log=/var/log/orlis-kcm-digsig.log
grep -q "^=== .* uid $(id -u "$SANDBOX_USER") ===\$" "$log" || fail "no log header: $(cat "$log")"
grep -q '^    forged\\n=== header ===$' "$log" || fail "log line not escaped: $(cat "$log")"
[ "$(grep -c '^===' "$log")" -eq 1 ] || fail "a log line passed for a header: $(cat "$log")"
echo "PASS: helper chain system test"
