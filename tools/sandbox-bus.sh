# Sourced inside a private mount namespace (unshare --mount --pid --fork): starts a private
# system bus, polkitd and the installed KAuth helpers, with the helpers' fixed paths bound to
# private directories. Used by tools/sandbox-run.sh (system tests, benchmarks) and the demo.
# Needs: sandbox_top (the source tree) and sandbox_layers (an empty directory for the
# overlays' changes). Nothing here outlives the namespace.

# A writable overlay over a directory; the changes live in a tmpfs of the namespace. A
# directory overlaid once stays writable: a second overlay on the same layer is refused.
sandbox_overlay() { # <directory>
    local name
    name=$(echo "$1" | tr / _)
    if ! mountpoint -q "$sandbox_layers"; then
        mkdir -p "$sandbox_layers"
        mount -t tmpfs tmpfs "$sandbox_layers"
    fi
    [ -d "$sandbox_layers/$name" ] && return 0
    mkdir -p "$sandbox_layers/$name/upper" "$sandbox_layers/$name/work"
    mount -t overlay overlay -o "lowerdir=$1,upperdir=$sandbox_layers/$name/upper,workdir=$sandbox_layers/$name/work" "$1"
}

# Binds <source> over <target>; a missing target is created inside an overlay of its parent.
sandbox_bind() { # <source> <target>
    if [ ! -e "$2" ]; then
        sandbox_overlay "$(dirname "$2")"
        if [ -d "$1" ]; then mkdir -p "$2"; else touch "$2"; fi
    fi
    mount --bind "$1" "$2"
}

# The installed helpers, their bus files and policies, found below an install tree.
sandbox_install_helpers() { # <install tree>
    local helper policy_dir
    helper=$(find "$1" -path '*kauth/libexec/orlis_kcm_digsig_helper' | head -n 1)
    policy_dir=$(dirname "$(find "$1" -name 'ru.orlis.kcm.digsig.policy' | head -n 1)")
    [ -n "$helper" ] && [ -d "$policy_dir" ] || { echo "sandbox: no installed helpers below $1" >&2; return 1; }
    # polkitd and the generated .service files know only these fixed paths.
    mount -t overlay overlay -o "lowerdir=$policy_dir:/usr/share/polkit-1/actions" /usr/share/polkit-1/actions
    mount -t overlay overlay -o "lowerdir=$(dirname "$helper"):/usr/lib/kauth/libexec" /usr/lib/kauth/libexec
    sandbox_services=$(dirname "$(find "$1" -name 'ru.orlis.kcm.digsig.service' | head -n 1)")
    sandbox_bus_policies=$(dirname "$(find "$1" -name 'ru.orlis.kcm.digsig.conf' -path '*system.d*' | head -n 1)")
}

# The rules: <allowed user> may run every action of the module, among them those under
# which pkexec runs the programs the module starts as root (the signature check, the key
# generation, kgpg); <denied user> gets "no". pkexec's generic action is not allowed: a
# program the module's policies do not cover fails here as it would for a user.
sandbox_write_rules() { # <rules directory> <allowed user> [<denied user>]
    mkdir -p "$1"
    cat >"$1/10-orlis-kcm-digsig-sandbox.rules" <<RULES
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("ru.orlis.kcm.") !== 0) {
        return polkit.Result.NOT_HANDLED;
    }
    if (subject.user == "${3:-}") {
        return polkit.Result.NO;
    }
    if (subject.user == "$2") {
        return polkit.Result.YES;
    }
    return polkit.Result.NOT_HANDLED;
});
RULES
    chmod 0644 "$1"/*.rules
    sandbox_bind "$1" /etc/polkit-1/rules.d
}

sandbox_wait_for() { # <what> <command...>
    local what=$1
    shift
    for _ in $(seq 1 100); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "sandbox: $what did not come up" >&2
    return 1
}

sandbox_has_polkit() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
        string:org.freedesktop.PolicyKit1 | grep -q 'boolean true'
}

# The private system bus at the fixed socket path (pkexec knows no other) and polkitd.
sandbox_start_bus() { # <state directory>
    mkdir -p "$1/run-dbus"
    sandbox_bind "$1/run-dbus" /run/dbus
    cat >"$1/system-bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <servicedir>$sandbox_services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus" send_member="UpdateActivationEnvironment"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>$sandbox_bus_policies</includedir>
</busconfig>
CONF
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin dbus-daemon --config-file="$1/system-bus.conf" --nofork --nopidfile --nosyslog >"$1/dbus.log" 2>&1 &
    sandbox_wait_for "the private system bus" test -S /run/dbus/system_bus_socket || return 1
    /usr/lib/polkit-1/polkitd --no-debug >"$1/polkitd.log" 2>&1 &
    sandbox_wait_for polkitd sandbox_has_polkit
}

# keywright runs under pkexec, whose PATH starts with /usr/sbin: a gpgconf there hands over
# to the GOST-capable one on /usr/local/sbin, so GpgME uses that engine. Only gpgconf: a
# second copy of the stand-ins on the helpers' PATH would take the first for the real gpg.
# The agent asks /usr/bin/pinentry-qt for pass phrases; in tests a stub answers at once with
# a fixed one, so nothing waits for a person. The demo (SANDBOX_REAL_PINENTRY=1) keeps the
# real one, whose window it types into.
sandbox_install_key_generation() { # <state directory>
    cat >"$1/gpgconf" <<'GPGCONF'
#!/bin/sh
PATH=/usr/local/sbin:/usr/bin:/bin exec /usr/local/sbin/gpgconf "$@"
GPGCONF
    chmod 0755 "$1/gpgconf"
    sandbox_bind "$1/gpgconf" /usr/sbin/gpgconf
    if [ "${SANDBOX_REAL_PINENTRY:-}" != 1 ]; then
        sandbox_bind "$sandbox_top/autotests/keywright/pinentry-stub" /usr/bin/pinentry-qt
    fi
}

# Everything the helpers touch, inside the namespace: their programs (the bsign and boot
# image stand-ins, the GOST-capable gpg on the helpers' and pkexec's search paths), root's
# GnuPG home, its agent's sockets and /var/log bound to private directories, the bus and
# polkitd. /etc/digsig is the caller's.
sandbox_start() { # <install tree> <state directory> <allowed user> [<denied user>]
    local tree=$1 state=$2
    mkdir -p "$state/gnupg" "$state/var-log"
    chmod 0700 "$state/gnupg"
    sandbox_install_helpers "$tree" || return 1
    sandbox_bind "$(find "$tree" -path '*/bin/bsign' | head -n 1)" /usr/bin/bsign
    sandbox_bind "$(find "$tree" -path '*/bin/digsig-check' | head -n 1)" /usr/bin/digsig-check
    sandbox_bind "$(find "$tree" -name update-initramfs | head -n 1)" /usr/sbin/update-initramfs
    sandbox_bind "$sandbox_top/platform/gnupg" /usr/local/sbin
    sandbox_install_key_generation "$state"
    sandbox_bind "$state/gnupg" /root/.gnupg
    # With /run/user/0 present, gpg would put the agent's sockets there, where the
    # machine's own agent for /root/.gnupg listens.
    if [ -d /run/user ]; then
        mount -t tmpfs -o mode=0755 tmpfs /run/user
    fi
    sandbox_bind "$state/var-log" /var/log
    sandbox_write_rules "$state/rules.d" "$3" "${4:-}"
    sandbox_start_bus "$state"
}
