#!/bin/bash
# Runs a command next to the real privileged chain, isolated from the machine:
#   sandbox-run.sh <build directory> <command> [arguments...]
# The build is installed into a private DESTDIR; then, in a private mount and PID namespace,
# /etc (with /etc/digsig from a scratch directory), root's GnuPG home and /var/log are
# private, a private system bus and polkitd run, and the helpers start by D-Bus activation.
# The command runs as root with SANDBOX_DIR (scratch directory, readable by the test users),
# SANDBOX_USER (may run every action) and SANDBOX_DENIED_USER (refused by polkit) set.
# Exit code 77 means namespaces cannot be made here.
set -euo pipefail
sandbox_top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
    [ $# -ge 2 ] || { echo "usage: $0 <build directory> <command> [arguments...]" >&2; exit 2; }
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount --pid --fork true 2>/dev/null; then
        echo "SKIP: this machine cannot create mount and PID namespaces (root needed)" >&2
        exit 77
    fi
    build=$(cd "$1" && pwd)
    shift
    work=$(mktemp -d /tmp/digsig-sandbox.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    chmod 0755 "$work"
    DESTDIR="$work/destdir" cmake --install "$build" >/dev/null
    set +e
    unshare --mount --propagation private --pid --fork --kill-child --mount-proc "$0" --inside "$work" "$@"
    status=$?
    exit $status
fi

shift
work=$1
shift
. "$sandbox_top/tools/sandbox-bus.sh"
sandbox_layers=$work/layers

sandbox_overlay /etc
mkdir -p "$work/etc-digsig"
chmod 0755 "$work/etc-digsig"
sandbox_bind "$work/etc-digsig" /etc/digsig

export SANDBOX_DIR=$work SANDBOX_USER=digsigtest SANDBOX_DENIED_USER=digsigdenied
sandbox_start "$work/destdir" "$work/state" "$SANDBOX_USER" "$SANDBOX_DENIED_USER"
# /etc and /var/log are private by now, so the users vanish with the namespace.
for user in "$SANDBOX_USER" "$SANDBOX_DENIED_USER"; do
    mkdir -p "$work/home/$user"
    useradd --no-create-home --home-dir "$work/home/$user" --shell /bin/sh "$user"
    chown "$user:" "$work/home/$user"
done
"$@"
