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
    # A private mount namespace: whatever the demo mounts vanishes with it.
    exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc "$0" --inside
fi

# Inside the namespace: overlays over /etc and /usr/bin hold the demo's files.
layer() { # <directory> <upper content>
    local name; name=$(echo "$1" | tr / _)
    mkdir -p "$demo/overlay/$name/upper" "$demo/overlay/$name/work"
    cp -a "$2/." "$demo/overlay/$name/upper/"
    mount -t overlay overlay -o "lowerdir=$1,upperdir=$demo/overlay/$name/upper,workdir=$demo/overlay/$name/work" "$1"
}
rm -rf "$demo/overlay" "$demo/etc-layer" "$demo/bin-layer" "$demo/state"
mkdir -p "$demo/etc-layer/digsig" "$demo/bin-layer"
cp "$top"/tools/demo/etc-digsig/* "$demo/etc-layer/digsig/"
cp "$prefix/bin/tovi-wmfunc" "$demo/bin-layer/"
layer /etc "$demo/etc-layer"
layer /usr/bin "$demo/bin-layer"
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
sandbox_top=$top sandbox_layers="$demo/layers" SANDBOX_REAL_PINENTRY=1
. "$top/tools/sandbox-bus.sh"
. "$top/tools/demo-session.sh"
sandbox_start "$prefix" "$demo/state" "$user"
demo_make_key
demo_make_tree
# The same check from the command line, as the demo user through pkexec: /opt/demo and the
# programs the system needs to start are judged under the demo's verify mode.
echo "== pkexec digsig-check --dir /opt/demo (exit status 1: something would be refused)"
runuser -u "$user" -- pkexec /usr/bin/digsig-check --dir /opt/demo --no-templates --quiet || true

run_module() {
    runuser -u "$user" -- env HOME="$(getent passwd "$user" | cut -d: -f6)" \
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

shots="$top/docs"
mkdir -p "$shots"
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
[ -n "$window" ] || { echo "kcmshell5 showed no window; see $demo/kcmshell5.log" >&2; exit 1; }
# No window manager under Xvfb: give the window a size a desktop would.
for id in $(xdotool search --onlyvisible --class kcmshell5); do
    xdotool windowmove "$id" 0 0 windowsize "$id" 900 820
done
sleep 3
demo_screenshots "$window" "$shots"
