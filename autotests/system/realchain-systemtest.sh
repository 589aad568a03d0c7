#!/bin/bash
# The system test of the real chain, run as root by tools/sandbox-run.sh: prepares the files,
# runs the test client as the permitted user, as the denied one and during a link race, checks
# what only root can see (the key ring, the signatures, the log), then signs a tree of programs
# for the client's signature scan.
#   realchain-systemtest.sh <test client>
set -euo pipefail
work=$SANDBOX_DIR
fail() { echo "FAIL: $*" >&2; exit 1; }

printf '# kept comment\nDIGSIG_ELF_MODE=0\nDIGSIG_XATTR_MODE=0\nDIGSIG_ELF_VERIFICATION_MODE=3\n' >/etc/digsig/digsig_initramfs.conf
mkdir -p "$work/bin" "$work/long-tree" "$work/private/sub" "$work/programs/private" "$work/race/dir" "$work/root-dir" "$work"/trees/mode-{0,1,2}
for mode in 0 1 2; do
    cp /usr/bin/true "$work/trees/mode-$mode/program"
    echo "just text" >"$work/trees/mode-$mode/notes.txt"
done
for i in $(seq -w 1 300); do cp /usr/bin/true "$work/long-tree/program-$i"; done
for i in $(seq -w 1 200); do cp /usr/bin/true "$work/race/dir/f-$i"; cp /usr/bin/true "$work/root-dir/f-$i"; done
# The scan's programs get good, missing, changed and foreign signatures once there are keys.
for name in root-file private/program programs/{both-good,elf-good,xattr-good,unsigned,tampered,wrong-key,private/program}; do
    cp /usr/bin/true "$work/$name"
done
echo "echo hello" >"$work/programs/notes.sh"
echo "not listed, not ELF" >"$work/programs/readme.txt"
echo "text" >"$work/private/notes.txt"
ln -s /usr/bin/true "$work/private/link"
echo "deep" >"$work/private/sub/deep"
cp "$1" "$work/bin/client"
chmod -R a+rX "$work/bin" "$work/trees" "$work/long-tree" "$work/programs" /etc/digsig
chmod 0700 "$work/private" "$work/programs/private"
chown -R "$SANDBOX_USER" "$work/race"
# A slower boot image update, so that a key list arrives while it runs.
printf '#!/bin/sh\necho "W: template /no/such/dir/ matches no file"\nsleep 2\necho "update-initramfs: done"\n' >"$work/slow-update"
chmod 0755 "$work/slow-update"
mount --bind "$work/slow-update" /usr/sbin/update-initramfs

run_client() { # <user> <test functions...>; every wait has its own deadline, this one ends a hang
    timeout -k 5 150 runuser -u "$1" -- env HOME="$work/home/$1" DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" QT_QPA_PLATFORM=offscreen \
        DIGSIG_TEST_DIR="$work" DIGSIG_TEST_KEY="${key:-}" "$work/bin/client" "${@:2}"
}
run_client "$SANDBOX_USER" keywrightKeyIsExportedAndOffered signingTurnsStatusToSigned helperChecksItsInputs cancelStopsLongRun \
    keyListDuringUpdateDoesNotHang thousandMixedCallsAllEnd
run_client "$SANDBOX_DENIED_USER" deniedCallerGetsAuthorizationError

# keywright made a GOST key (algorithm 0 in the engine's listing) behind a pass phrase.
listing=$(/usr/local/sbin/gpg --batch --with-colons --list-secret-keys)
[ "$(grep -c '^sec:' <<<"$listing")" -eq 1 ] || fail "not exactly one secret key: $listing"
grep -q '^sec:u:256:0:' <<<"$listing" || fail "the key is no GOST key: $listing"
grep -q '^pinentry-program /usr/bin/pinentry-qt$' /root/.gnupg/gpg-agent.conf || fail "agent configuration: $(cat /root/.gnupg/gpg-agent.conf)"
key=$(awk -F: '$1 == "fpr" { print $10; exit }' <<<"$listing")

# While the client signs 200 files of its own, it swaps one of them, and their directory, for
# links to root's files, again and again. Root's files must stay untouched.
race=$work/race
root_sums=$(cd "$work" && sha256sum root-file root-dir/*)
runuser -u "$SANDBOX_USER" -- perl -MTime::HiRes=usleep -e '
    my ($dir, $root_dir, $root_file, $stop, $count) = @ARGV;
    my $swaps = 0;
    until (-e $stop && $swaps >= 300) {
        rename("$dir/f-100", "$dir/f-100.real") && symlink($root_file, "$dir/f-100") or die "swap: $!";
        usleep(int(rand(500)));
        unlink("$dir/f-100") && rename("$dir/f-100.real", "$dir/f-100") or die "restore: $!";
        rename($dir, "$dir.real") && symlink($root_dir, $dir) or die "swap dir: $!";
        usleep(int(rand(500)));
        unlink($dir) && rename("$dir.real", $dir) or die "restore dir: $!";
        $swaps++;
        usleep(1000);
    }
    open(my $out, ">", $count); print $out $swaps;
' "$race/dir" "$work/root-dir" "$work/root-file" "$race/stop" "$race/swaps" &
swapper=$!
run_client "$SANDBOX_USER" signingRaceReachesNoLinkTarget
touch "$race/stop"
wait "$swapper" || fail "the link swapper failed"
echo "$(cat "$race/swaps") link swaps during the signing"
[ "$(cd "$work" && sha256sum root-file root-dir/*)" = "$root_sums" ] || fail "a file of root's changed during the race"
! getfattr --absolute-names -d -m 'security\.bsign' "$work/root-file" "$work/root-dir" "$work"/root-dir/* 2>/dev/null | grep -q bsign ||
    fail "a file of root's gained a signature during the race"

# The signatures are real: both are good, and a changed file reads as bad.
report=$(/usr/bin/bsign -w "$work/trees/mode-2/program") || fail "a file signed in both modes does not verify: $report"
[ "$(grep -c -e '^xattr signature: good' -e '^ELF signature: good' <<<"$report")" -eq 2 ] || fail "not both signatures good: $report"
echo "tamper" >>"$work/trees/mode-2/program"
status=0
/usr/bin/bsign -w "$work/trees/mode-2/program" >/dev/null || status=$?
[ "$status" -eq 67 ] || fail "a changed file gave bsign exit code $status, not 67"

# The log: a header with the caller's uid; the forged line break stays inside its line.
log=/var/log/orlis-kcm-digsig.log
grep -q "^=== .* uid $(id -u "$SANDBOX_USER") ===\$" "$log" || fail "no log header: $(cat "$log")"
grep -q '^    forged\\n=== header ===$' "$log" || fail "log line not escaped: $(cat "$log")"
[ "$(grep -c '^===' "$log")" -eq 1 ] || fail "a log line passed for a header: $(cat "$log")"

# The scan's signatures: by a key without pass phrase and by a foreign one that root's key
# ring then forgets.
for name in "Scan Signer" "Foreign Signer"; do
    printf '%%no-protection\nKey-Type: GOST_R34.10-2012\nKey-Usage: sign\nName-Real: %s\nExpire-Date: 0\n%%commit\n' "$name"
done | /usr/local/sbin/gpg --batch --quiet --gen-key '-&0' 2>/dev/null
fingerprint() { /usr/local/sbin/gpg --batch --with-colons --list-secret-keys "$1" | awk -F: '$1 == "fpr" { print $10; exit }'; }
key=$(fingerprint "Scan Signer")
foreign=$(fingerprint "Foreign Signer")
sign() { # <kind> <key> <programs...>
    for name in "${@:3}"; do /usr/bin/bsign --sign --kind "$1" --key "$2" -- "$work/programs/$name" >/dev/null; done
}
sign both "$key" both-good tampered private/program
sign elf "$key" elf-good
sign xattr "$key" xattr-good wrong-key
sign elf "$foreign" wrong-key
echo "changed" >>"$work/programs/tampered"
/usr/local/sbin/gpg --batch --yes --delete-secret-and-public-key "$foreign" 2>/dev/null

# digsig-check from the command line: verdicts as the module's scan gives them, exit statuses,
# refused arguments, a caller who is not root, an image with links that lead out of it.
check() { /usr/bin/digsig-check --quiet "$@"; }
status=0
out=$(check --dir "$work/programs" --template "/$work/programs/notes.sh" --mode ONLY_ELF --format json --jobs 3) || status=$?
[ "$status" -eq 1 ] || fail "a tree with refused programs gave digsig-check exit status $status"
for expected in "both-good\",\"elf\":\"good\",\"xattr\":\"good\",\"verdict\":\"runs\",\"key\":\"${key: -16}\"" \
    'private/program","elf":"good","xattr":"good","verdict":"runs"' 'tampered","elf":"bad","xattr":"bad","verdict":"refused"' \
    'notes.sh","elf":"none","xattr":"none","verdict":"refused"' 'xattr-good","elf":"none","xattr":"good","verdict":"refused"'; do
    grep -qF "$expected" <<<"$out" || fail "digsig-check did not report $expected: $out"
done
[ "$(wc -l <<<"$out")" -eq 8 ] || fail "digsig-check reported other than the 8 files: $out"
out=$(check --dir "$work/programs/private" --mode ALL --no-templates) || fail "a tree of good programs did not give exit status 0: $out"
for arguments in "--dir relative" "--dir $work/programs/../private" "--jobs 9" "--mode all" "--format xml" "--root /no/such/dir" \
    "--dir $work/programs/notes.sh" "--bogus" "--quiet --quiet" "--template //a/../b" "--dir"; do
    status=0
    out=$(check $arguments) || status=$?
    [ "$status" -eq 2 ] && [ -z "$out" ] || fail "digsig-check $arguments gave exit status $status and: $out"
done
status=0
runuser -u "$SANDBOX_USER" -- /usr/bin/digsig-check --quiet >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "digsig-check ran for a user without pkexec (exit status $status)"
image=$work/image
mkdir -p "$image/usr/bin" "$image/etc/digsig"
cp -a "$work/programs/both-good" "$image/usr/bin/good"
cp /usr/bin/true "$image/usr/bin/login"
ln -s /usr/bin "$image/sbin"     # inside the image: its own /usr/bin
ln -s usr/bin "$image/bin"
ln -s good "$image/usr/bin/init" # /sbin/init: needed to start, as login is
ln -s /usr/bin/true "$image/usr/bin/link"
echo "text" >"$image/usr/bin/listed"
printf 'DIGSIG_ELF_VERIFICATION_MODE=0\n' >"$image/etc/digsig/digsig_initramfs.conf"
printf '//usr/bin/listed\n//sbin/good\n' >"$image/etc/digsig/xattr_control"
status=0
out=$(check --root "$image" --dir /sbin --dir /bin --format csv) || status=$?
expected='path,elf,xattr,verdict,key,needed
"/usr/bin/good","good","good","runs","'"${key: -16}"'","yes"
"/usr/bin/listed","none","none","refused","","no"
"/usr/bin/login","none","none","refused","","yes"'
[ "$status" -eq 1 ] && [ "$(head -n 1 <<<"$out"; tail -n +2 <<<"$out" | LC_ALL=C sort)" = "$expected" ] || fail "the image's check gave exit status $status and: $out"

# The module's scan: one run of digsig-check through pkexec per scan, so one authorisation
# each (polkitd's checks counted on the bus), none for bsign.
dbus-monitor --system "type='method_call',interface='org.freedesktop.PolicyKit1.Authority',member='CheckAuthorization'" >"$work/polkit.log" 2>&1 &
monitor=$!
sleep 0.5
run_client "$SANDBOX_USER" scanVerdictsUnderEachMode
kill "$monitor"
checks=$(grep -c 'string "ru.orlis.kcm.digsig.check"' "$work/polkit.log" || true)
per_file=$(grep -c 'string "ru.orlis.kcm.digsig.bsign"' "$work/polkit.log" || true)
[ "$checks" -eq 5 ] && [ "$per_file" -eq 0 ] || fail "5 scans asked polkit $checks times for the check and $per_file times for bsign"
run_client "$SANDBOX_USER" scanSignSelectedLeavesNoProblem scanCancelEndsTheCheck
echo "PASS: real chain system test"
