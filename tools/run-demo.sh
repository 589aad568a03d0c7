#!/bin/bash
# Opens the module in kcmshell5 with a demo /etc/digsig, never the machine's own.
# Without a display it runs under Xvfb, writes screenshots and exits.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
demo="$top/_demo"
prefix="$demo/prefix"

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=DISPLAY,XAUTHORITY "$0" "$@"
fi

if [ "${1:-}" != "--inside" ]; then
    "$top/tools/install-deps.sh"
    cmake -S "$top" -B "$demo/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DKDE_INSTALL_USE_QT_SYS_PATHS=OFF -DINSTALL_BROKEN_KAUTH_POLICY_FILES=ON
    cmake --build "$demo/build" -j"$(nproc)"
    cmake --install "$demo/build" >/dev/null
    # A private mount namespace: whatever the demo mounts vanishes with it. Nothing written
    # inside stays, so the screenshots come out as a tar stream on descriptor 9.
    status=0
    unshare --mount --propagation private --pid --fork --kill-child --mount-proc "$0" --inside 9>"$demo/screenshots.tar" || status=$?
    if [ -s "$demo/screenshots.tar" ]; then
        mkdir -p "$top/docs" && tar -xf "$demo/screenshots.tar" -C "$top/docs"
    fi
    exit "$status"
fi

# Inside the namespace. The module shows the whole file system and can sign anything in it:
# every directory below / is an overlay whose changes live in a tmpfs of the namespace, so
# no signature, setting or key ever reaches the machine's own files. The tree that holds the
# demo itself is covered last, once nothing is written into it any more.
sandbox_top=$top sandbox_layers="$demo/layers" SANDBOX_REAL_PINENTRY=1
. "$top/tools/sandbox-bus.sh"
. "$top/tools/demo-session.sh"
rm -rf "$demo/state"
# The overlay's top takes the mode of its new upper directory: /tmp must stay sticky and
# world-writable, /root private.
overlay_as_is() { # <directory>
    local mode owner
    mode=$(stat -c %a "$1") owner=$(stat -c %u:%g "$1")
    sandbox_overlay "$1"
    chmod "$mode" "$1" && chown "$owner" "$1"
}
own_tree=""
for dir in /*; do
    [ -d "$dir" ] && [ ! -L "$dir" ] || continue
    case "$dir" in /proc | /sys | /dev | /lost+found) continue ;; esac
    case "$top/" in "$dir"/*) own_tree=$dir; continue ;; esac
    overlay_as_is "$dir"
done
[ ! -d /dev/shm ] || mount -t tmpfs tmpfs /dev/shm
# Files right below / have no directory of their own to overlay: each gets a private copy
# bound over it (an empty one when it is large, such as a swap file).
mkdir -p "$sandbox_layers/root-files"
for file in /*; do
    [ -f "$file" ] && [ ! -L "$file" ] || continue
    copy="$sandbox_layers/root-files/$(basename "$file")"
    if [ "$(stat -c %s "$file")" -le 16777216 ]; then cp -p "$file" "$copy"; else : >"$copy"; fi
    mount --bind "$copy" "$file"
done
rm -rf /etc/digsig && mkdir -p /etc/digsig
cp "$top"/tools/demo/etc-digsig/* /etc/digsig/
cp "$prefix/bin/tovi-wmfunc" /usr/bin/
chmod 0755 /etc/digsig && chmod 0644 /etc/digsig/*

# The module runs as a normal user, as on a desktop.
user="${SUDO_USER:-}"
if [ -z "$user" ] || [ "$user" = root ]; then
    user=digsigdemo
    id "$user" >/dev/null 2>&1 || useradd --no-create-home --home-dir "$demo/home" "$user"
    mkdir -p "$demo/home" && chown "$user": "$demo/home"
fi
chmod o+rx "$demo" 2>/dev/null || true

# The real helpers behind a private system bus and polkitd, which lets the demo user apply,
# sign, create keys and check signatures; a GOST key and programs to sign under /opt/demo.
sandbox_start "$prefix" "$demo/state" "$user"
demo_make_key
demo_make_tree
[ -z "$own_tree" ] || overlay_as_is "$own_tree"

# The module asks the reboot tool with XDG_RUNTIME_DIR=/run/user/$SUDO_UID, as when the
# settings host runs through sudo; the stand-in records the request there.
uid=$(id -u "$user")
mkdir -p "/run/user/$uid" && chown "$user": "/run/user/$uid" && chmod 0700 "/run/user/$uid"

# The same check from the command line, as the demo user through pkexec: /opt/demo and the
# programs the system needs to start are judged under the demo's verify mode.
echo "== pkexec digsig-check --dir /opt/demo (exit status 1: something would be refused)"
runuser -u "$user" -- pkexec /usr/bin/digsig-check --dir /opt/demo --no-templates --quiet || true

run_module() {
    runuser -u "$user" -- env HOME="$(getent passwd "$user" | cut -d: -f6)" SUDO_UID="$uid" \
        DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-}" \
        QT_PLUGIN_PATH="$(dirname "$(find "$prefix" -path '*/orlis/orlis_kcm_digsig.so' | head -n 1)")/.." \
        XDG_DATA_DIRS="$prefix/share:/usr/share" \
        LD_LIBRARY_PATH="$(dirname "$(find "$prefix" -name 'libkcm-secpanel.so*' | head -n 1)")" \
        dbus-run-session -- kcmshell5 orlis_kcm_digsig "$@"
}

if [ -n "${DISPLAY:-}" ]; then
    run_module
    exit 0
fi

shots=$(mktemp -d)
rm -f "$demo/display"
Xvfb -displayfd 3 -screen 0 1024x900x24 -ac -nolisten tcp 3>"$demo/display" >/dev/null 2>&1 &
for _ in $(seq 1 50); do [ -s "$demo/display" ] && break; sleep 0.2; done
[ -s "$demo/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$demo/display")"
run_module >"$demo/kcmshell5.log" 2>&1 &
window=""
for _ in $(seq 1 100); do
    window=$(xdotool search --onlyvisible --class kcmshell5 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.2
done
[ -n "$window" ] || { echo "kcmshell5 showed no window:" >&2; cat "$demo/kcmshell5.log" >&2; exit 1; }
# No window manager under Xvfb: give the window a size a desktop would.
for id in $(xdotool search --onlyvisible --class kcmshell5); do
    xdotool windowmove "$id" 0 0 windowsize "$id" 900 820
done
sleep 3
status=0
demo_screenshots "$window" "$shots" || status=$?
tar -C "$shots" -cf - . >&9
[ "$status" -eq 0 ] || tail -n 40 "$demo/kcmshell5.log" >&2
exit "$status"
