#!/bin/bash
# Runs a program with root's fixed GnuPG paths redirected into a scratch directory.
#
#   keywright-sandbox.sh [options] SANDBOX -- PROGRAM [ARGUMENTS...]
#
# Inside a private mount namespace SANDBOX/root is bound over /root, /run/user is a fresh
# tmpfs and /usr/bin/pinentry-qt is a stub pinentry (overlay on /usr/bin), so nothing of the
# machine's own GnuPG set-up is seen or touched. GNUPGHOME is /root/.gnupg.
# Options:
#   --agent        start a gpg-agent before the program (with the stub pinentry unless
#                  SANDBOX/root/.gnupg/gpg-agent.conf already names another)
#   --read-only    make /root read-only
#   --path DIR     put DIR first on PATH (the GOST engine stand-in)
# After the program the secret key listing goes to SANDBOX/secret-keys.txt and every GnuPG
# daemon of the sandbox is ended. The exit status is the program's; 124 means it timed out,
# 77 that the sandbox could not be set up.
set -u

here=$(cd "$(dirname "$0")" && pwd -P)
script="$here/$(basename "$0")"

if [ -z "${KEYWRIGHT_SANDBOX_INSIDE:-}" ]; then
    if ! unshare -m --propagation private true 2>/dev/null; then
        echo "keywright-sandbox: no private mount namespace here" >&2
        exit 77
    fi
    exec timeout -k 5 180 unshare -m --propagation private env KEYWRIGHT_SANDBOX_INSIDE=1 /bin/bash "$script" "$@"
fi

start_agent=false
read_only=false
extra_path=
while [ $# -gt 0 ]; do
    case "$1" in
    --agent) start_agent=true ;;
    --read-only) read_only=true ;;
    --path) extra_path=$2; shift ;;
    *) break ;;
    esac
    shift
done
sandbox=${1:?sandbox directory missing}
shift
[ "${1:-}" = "--" ] && shift

fail_setup()
{
    echo "keywright-sandbox: $*" >&2
    exit 77
}

mkdir -p "$sandbox/root" "$sandbox/bin-upper" "$sandbox/bin-work" || fail_setup "cannot prepare $sandbox"
mount --bind "$sandbox/root" /root || fail_setup "cannot bind $sandbox/root over /root"
if [ -d /run/user ]; then
    mount -t tmpfs -o mode=0755 tmpfs /run/user || fail_setup "cannot mount a tmpfs on /run/user"
fi
if mount -t overlay overlay -o "lowerdir=/usr/bin,upperdir=$sandbox/bin-upper,workdir=$sandbox/bin-work" /usr/bin 2>/dev/null; then
    cp "$here/pinentry-stub" /usr/bin/pinentry-qt && chmod 0755 /usr/bin/pinentry-qt || fail_setup "cannot place the stub pinentry"
elif [ -f /usr/bin/pinentry-qt ]; then
    mount --bind "$here/pinentry-stub" /usr/bin/pinentry-qt || fail_setup "cannot bind the stub pinentry"
else
    fail_setup "cannot put an overlay on /usr/bin for the stub pinentry"
fi

export GNUPGHOME=/root/.gnupg
if [ -n "$extra_path" ]; then
    export PATH="$extra_path:$PATH"
fi

if $start_agent; then
    mkdir -p -m 0700 "$GNUPGHOME"
    if [ ! -e "$GNUPGHOME/gpg-agent.conf" ]; then
        echo "pinentry-program /usr/bin/pinentry-qt" >"$GNUPGHOME/gpg-agent.conf"
    fi
    timeout 30 gpg-connect-agent /bye >/dev/null 2>&1 || fail_setup "cannot start gpg-agent"
fi
if $read_only; then
    mount -o remount,bind,ro /root || fail_setup "cannot make /root read-only"
fi

timeout -k 5 120 "$@"
status=$?

if [ -d "$GNUPGHOME" ]; then
    timeout 30 gpg --batch --with-colons --list-secret-keys >"$sandbox/secret-keys.txt" 2>/dev/null
    timeout 30 gpgconf --kill all >/dev/null 2>&1
fi
exit $status
