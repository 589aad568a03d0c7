#!/bin/bash
# keywright-sandbox.sh OPTIONS SANDBOX PROGRAM [ARGUMENTS...]: runs the program in a private mount namespace
# with SANDBOX/root bound over /root, a fresh /run/user and the stub pinentry as /usr/bin/pinentry-qt. OPTIONS:
# "agent" starts a gpg-agent first, "read-only" makes /root so. Leaves the secret key listing in
# SANDBOX/secret-keys.txt. Exit status: the program's; 77 when the sandbox cannot be set up.
set -u
fail_setup() { echo "keywright-sandbox: $*" >&2; exit 77; }
if [ -z "${KEYWRIGHT_SANDBOX_INSIDE:-}" ]; then
    unshare -m --propagation private true 2>/dev/null || fail_setup "no private mount namespace"
    exec timeout -k 5 180 unshare -m --propagation private env KEYWRIGHT_SANDBOX_INSIDE=1 /bin/bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd -P)
options=$1 sandbox=$2
shift 2
mkdir -p "$sandbox/root" "$sandbox/bin-upper" "$sandbox/bin-work" || fail_setup "cannot prepare $sandbox"
mount --bind "$sandbox/root" /root || fail_setup "cannot bind over /root"
[ ! -d /run/user ] || mount -t tmpfs -o mode=0755 tmpfs /run/user || fail_setup "cannot mount /run/user"
if mount -t overlay overlay -o "lowerdir=/usr/bin,upperdir=$sandbox/bin-upper,workdir=$sandbox/bin-work" /usr/bin 2>/dev/null; then
    install -m 0755 "$here/pinentry-stub" /usr/bin/pinentry-qt || fail_setup "cannot place the stub pinentry"
else
    [ -f /usr/bin/pinentry-qt ] && mount --bind "$here/pinentry-stub" /usr/bin/pinentry-qt || fail_setup "cannot place the stub pinentry"
fi
export GNUPGHOME=/root/.gnupg
if [[ $options == *agent* ]]; then
    mkdir -p -m 0700 "$GNUPGHOME"
    [ -e "$GNUPGHOME/gpg-agent.conf" ] || echo "pinentry-program /usr/bin/pinentry-qt" >"$GNUPGHOME/gpg-agent.conf"
    timeout 30 gpg-connect-agent /bye >/dev/null 2>&1 || fail_setup "cannot start gpg-agent"
fi
[[ $options != *read-only* ]] || mount -o remount,bind,ro /root || fail_setup "cannot make /root read-only"
timeout -k 5 120 "$@"
status=$?
[ -d "$GNUPGHOME" ] || exit $status
timeout 30 gpg --batch --with-colons --list-secret-keys >"$sandbox/secret-keys.txt" 2>/dev/null
timeout 30 gpgconf --kill all >/dev/null 2>&1
exit $status
