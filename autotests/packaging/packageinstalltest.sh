#!/bin/bash
# Builds the Debian packages from the build folder (or takes ready ones from PACKAGE_DEBS_DIR),
# unpacks both into a scratch root and checks what they install, the module package's
# dependencies, the plugin's factory loaded from the unpacked path and kcmshell5 finding it.
#   packageinstalltest.sh <source-dir> <work-dir> <installedplugintest> <build-dir>
set -eu
source_dir=$1
work_dir=$2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

debs=${PACKAGE_DEBS_DIR:-$work_dir/packages}
if [ -z "${PACKAGE_DEBS_DIR:-}" ]; then
    # debian/ as it is, installing the build at hand instead of configuring and compiling again.
    rm -rf "$work_dir/src" "$debs" "$work_dir"/*.deb
    mkdir -p "$work_dir/src" "$debs"
    cp -r "$source_dir/debian" "$work_dir/src/"
    find "$source_dir" -mindepth 1 -maxdepth 1 -not -name debian -not -name '.*' -not -name 'build*' -exec ln -s {} "$work_dir/src/" \;
    printf '\noverride_dh_auto_configure override_dh_auto_build override_dh_auto_test:\n\t@:\noverride_dh_auto_install:\n\tDESTDIR=$(CURDIR)/debian/tmp cmake --install %s >/dev/null\n' \
        "$4" >>"$work_dir/src/debian/rules"
    (cd "$work_dir/src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >"$debs/build.log" 2>&1) || { tail -n 40 "$debs/build.log" >&2; exit 1; }
    mv "$work_dir"/*.deb "$debs/"
fi
module_deb=$(ls "$debs"/orlis-kcm-digsig_*.deb)
standins_deb=$(ls "$debs"/orlis-kcm-digsig-standins_*.deb)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg -x "$module_deb" "$root"
dpkg -x "$standins_deb" "$root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# holds <deb> <pattern>...: each path pattern (^ to omit) is in the package, or not.
holds() {
    local deb=$1 listing
    shift
    listing=$(dpkg -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||')
    for pattern in "$@"; do
        if [ "${pattern#^}" != "$pattern" ]; then
            ! grep -q -- "${pattern#^}" <<<"$listing" || fail "$(basename "$deb") carries ${pattern#^}"
        else
            grep -qx -- "$pattern" <<<"$listing" || fail "$(basename "$deb") lacks $pattern"
        fi
    done
}
holds "$module_deb" "/usr/lib/$multiarch/qt5/plugins/orlis/orlis_kcm_digsig.so" /usr/share/kservices5/orlis_kcm_digsig.desktop \
    /usr/lib/kauth/libexec/keywright /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.programs.policy \
    /usr/bin/digsig-check /usr/share/man/man1/digsig-check.1.gz /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.check.policy \
    '/usr/share/locale/ru/LC_MESSAGES/orlis_kcm_digsig.mo' ^libkcm- ^tovi-wmfunc ^/usr/include ^gnupg-standin ^bsign.policy
holds "$standins_deb" "/usr/lib/$multiarch/libkcm-orlis-settings.so.1" "/usr/lib/$multiarch/libkcm-secpanel.so.1" /usr/include/kcmos/orliskcmodule.h \
    /usr/include/kcmss/securitykcmodule.h /usr/bin/tovi-wmfunc /usr/lib/orlis-kcm-digsig/gnupg-standin/gpg /usr/lib/orlis-kcm-digsig/gnupg-standin/gpgconf \
    /usr/lib/kauth/libexec/orlis_kcm_digsig_helper /usr/lib/kauth/libexec/orlis_kcm_securitysettings_helper \
    /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.policy /usr/share/polkit-1/actions/ru.orlis.kcm.securitysettings.policy \
    /usr/share/dbus-1/system-services/ru.orlis.kcm.digsig.service /usr/share/dbus-1/system.d/ru.orlis.kcm.digsig.conf \
    /usr/bin/bsign /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.bsign.policy ^orlis_kcm_digsig.so ^keywright ^kservices5 ^programs.policy ^digsig-check
# pkexec hands a program DISPLAY and XAUTHORITY only under an action that allows it.
for policy in "$root"/usr/share/polkit-1/actions/ru.orlis.kcm.digsig.{programs,bsign}.policy; do
    paths=$(grep -c 'org.freedesktop.policykit.exec.path">/' "$policy")
    [ "$paths" -gt 0 ] && [ "$(grep -c 'org.freedesktop.policykit.exec.allow_gui">true<' "$policy")" -eq "$paths" ] ||
        fail "$(basename "$policy") lacks exec.path or allow_gui"
done
# The check may be run by an administrator at the active local session only.
[ "$(grep -o '<allow_[a-z]*>[a-z_]*<' "$root/usr/share/polkit-1/actions/ru.orlis.kcm.digsig.check.policy" | tr '\n' ' ')" = \
    "<allow_any>no< <allow_inactive>no< <allow_active>auth_admin_keep< " ] || fail "the check's polkit defaults are not active-only"
depends=$(dpkg-deb -f "$module_deb" Depends)
for needed in pkexec gnupg libkcm-secpanel1; do
    grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "the module does not depend on $needed: $depends"
done
provides=$(dpkg-deb -f "$standins_deb" Provides)
for virtual in libkcm-secpanel1 libkcm-orlis-settings1; do
    grep -qE "(^|, )$virtual(,|$)" <<<"$provides" || fail "the stand-ins do not provide $virtual: $provides"
done
! LD_LIBRARY_PATH="$root/usr/lib/$multiarch" ldd "$root/usr/lib/kauth/libexec/keywright" | grep -q "not found" || fail "keywright misses libraries"

# A session of its own, the unpacked data first.
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache" XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export XDG_DATA_DIRS="$root/usr/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" QT_PLUGIN_PATH="$root/usr/lib/$multiarch/qt5/plugins"
export LD_LIBRARY_PATH="$root/usr/lib/$multiarch" QT_QPA_PLATFORM=offscreen ORLIS_INSTALL_ROOT="$root"
unset DBUS_SESSION_BUS_ADDRESS
"$3" || fail "the installed plugin test failed"
# kcmshell5 lists only modules it found through service files.
timeout 60 kcmshell5 --list 2>/dev/null | grep -q "^orlis_kcm_digsig " || fail "kcmshell5 --list does not show orlis_kcm_digsig"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all package checks passed"
