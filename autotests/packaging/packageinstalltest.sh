#!/bin/sh
# Builds the Debian packages (or takes ready ones from PACKAGE_DEBS_DIR), unpacks both into a
# scratch root and checks what they install: the files of each package, the module package's
# dependencies, the plugin's factory loaded from the unpacked path, and kcmshell5 finding the
# module through the unpacked service file.
#
#   packageinstalltest.sh <source-dir> <work-dir> <installedplugintest>
set -eu
source_dir=$1
work_dir=$2
plugin_test=$3
module_package=orlis-kcm-digsig
standins_package=orlis-kcm-digsig-standins

failures=0
fail()
{
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass()
{
    echo "PASS: $*"
}

debs_dir=${PACKAGE_DEBS_DIR:-}
if [ -z "$debs_dir" ]; then
    debs_dir="$work_dir/packages"
    "$source_dir/tools/package-build.sh" "$debs_dir"
fi
module_deb=$(ls "$debs_dir"/${module_package}_*.deb)
standins_deb=$(ls "$debs_dir"/${standins_package}_*.deb)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/orlis-package-root.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
root="$scratch/root"
mkdir "$root"
dpkg -x "$module_deb" "$root"
dpkg -x "$standins_deb" "$root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# contains <deb> <path> [<path>...]: each path (a shell pattern) is in the package.
contains()
{
    deb=$1
    shift
    listing=$(dpkg -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||')
    for pattern in "$@"; do
        found=false
        for path in $listing; do
            # shellcheck disable=SC2254
            case "$path" in $pattern) found=true ;; esac
        done
        if $found; then pass "$(basename "$deb") has $pattern"; else fail "$(basename "$deb") lacks $pattern"; fi
    done
}

lacks()
{
    deb=$1
    shift
    for pattern in "$@"; do
        if dpkg -c "$deb" | awk '{ print $6 }' | grep -q -- "$pattern"; then
            fail "$(basename "$deb") carries $pattern"
        else
            pass "$(basename "$deb") leaves out $pattern"
        fi
    done
}

contains "$module_deb" \
    "/usr/lib/$multiarch/qt5/plugins/orlis/orlis_kcm_digsig.so" \
    /usr/share/kservices5/orlis_kcm_digsig.desktop \
    /usr/lib/kauth/libexec/keywright \
    /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.programs.policy
lacks "$module_deb" libkcm- tovi-wmfunc /usr/include gnupg-standin bsign.policy
if [ -d "$source_dir/po" ]; then
    contains "$module_deb" "/usr/share/locale/*/LC_MESSAGES/orlis_kcm_digsig.mo"
fi

contains "$standins_deb" \
    "/usr/lib/$multiarch/libkcm-orlis-settings.so.1" \
    "/usr/lib/$multiarch/libkcm-secpanel.so.1" \
    /usr/include/kcmos/orliskcmodule.h \
    /usr/include/kcmss/securitykcmodule.h \
    /usr/bin/tovi-wmfunc \
    /usr/lib/orlis-kcm-digsig/gnupg-standin/gpg \
    /usr/lib/orlis-kcm-digsig/gnupg-standin/gpgconf
lacks "$standins_deb" orlis_kcm_digsig.so keywright kservices5 programs.policy
# Stand-ins that come with the helpers and bsign sources: none may be left out.
if [ -f "$source_dir/platform/helpers/CMakeLists.txt" ]; then
    contains "$standins_deb" \
        /usr/lib/kauth/libexec/orlis_kcm_digsig_helper \
        /usr/lib/kauth/libexec/orlis_kcm_securitysettings_helper \
        /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.policy \
        /usr/share/polkit-1/actions/ru.orlis.kcm.securitysettings.policy \
        "/usr/share/dbus-1/system-services/ru.orlis.kcm.digsig.service" \
        "/usr/share/dbus-1/system.d/ru.orlis.kcm.digsig.conf"
fi
if [ -f "$source_dir/platform/bsign/CMakeLists.txt" ]; then
    contains "$standins_deb" /usr/bin/bsign /usr/share/polkit-1/actions/ru.orlis.kcm.digsig.bsign.policy
fi
# pkexec hands a program DISPLAY and XAUTHORITY only under an action that allows it.
for policy in "$root"/usr/share/polkit-1/actions/ru.orlis.kcm.digsig.programs.policy "$root"/usr/share/polkit-1/actions/ru.orlis.kcm.digsig.bsign.policy; do
    [ -e "$policy" ] || continue
    paths=$(grep -c 'org.freedesktop.policykit.exec.path">/' "$policy")
    if [ "$paths" -gt 0 ] && [ "$(grep -c 'org.freedesktop.policykit.exec.allow_gui">true<' "$policy")" -eq "$paths" ]; then
        pass "$(basename "$policy") lets every program it covers open windows"
    else
        fail "$(basename "$policy") lacks exec.path or allow_gui"
    fi
done

depends=$(dpkg-deb -f "$module_deb" Depends)
for needed in pkexec gnupg libkcm-secpanel1; do
    case ", $depends," in
    *", $needed,"* | *", $needed "*) pass "$module_package depends on $needed" ;;
    *) fail "$module_package does not depend on $needed: $depends" ;;
    esac
done
provides=$(dpkg-deb -f "$standins_deb" Provides)
for virtual in libkcm-secpanel1 libkcm-orlis-settings1; do
    case ", $provides," in
    *", $virtual,"*) pass "$standins_package provides $virtual" ;;
    *) fail "$standins_package does not provide $virtual: $provides" ;;
    esac
done
if dpkg-deb -f "$standins_deb" Description | grep -q "The real platform provides every piece"; then
    pass "$standins_package says the real platform provides its contents"
else
    fail "$standins_package does not say that the real platform provides its contents"
fi

if [ -x "$root/usr/lib/kauth/libexec/keywright" ] &&
    ! LD_LIBRARY_PATH="$root/usr/lib/$multiarch" ldd "$root/usr/lib/kauth/libexec/keywright" | grep -q "not found"; then
    pass "keywright is executable and finds its libraries"
else
    fail "keywright is not executable or misses libraries"
fi

# A session of its own: scratch home, configuration and cache; the unpacked data first.
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache"
export XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export XDG_DATA_DIRS="$root/usr/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
export QT_PLUGIN_PATH="$root/usr/lib/$multiarch/qt5/plugins"
export LD_LIBRARY_PATH="$root/usr/lib/$multiarch"
export QT_QPA_PLATFORM=offscreen ORLIS_INSTALL_ROOT="$root"
unset DBUS_SESSION_BUS_ADDRESS

if "$plugin_test" >"$scratch/plugin-test.txt" 2>&1 && grep -q "^Totals: .*, 0 failed, 0 skipped" "$scratch/plugin-test.txt"; then
    pass "the installed plugin's factory builds the module"
else
    cat "$scratch/plugin-test.txt" >&2
    fail "the installed plugin test failed"
fi

# kcmshell5 lists only modules it found through service files.
listing="$scratch/kcmshell5-list.txt"
if timeout 120 kcmshell5 --list >"$listing" 2>"$scratch/kcmshell5-list.err"; then
    if grep -q "^orlis_kcm_digsig " "$listing"; then
        pass "kcmshell5 finds orlis_kcm_digsig: $(grep "^orlis_kcm_digsig " "$listing")"
    else
        fail "kcmshell5 --list does not show orlis_kcm_digsig"
        cat "$scratch/kcmshell5-list.err" >&2
    fi
else
    fail "kcmshell5 --list failed"
    cat "$scratch/kcmshell5-list.err" >&2
fi

# Without the unpacked data the module is unknown: the listing above came from the root.
if XDG_DATA_DIRS=/usr/local/share:/usr/share XDG_CACHE_HOME="$scratch/cache-plain" \
    timeout 120 kcmshell5 --list 2>/dev/null | grep -q "^orlis_kcm_digsig "; then
    fail "kcmshell5 finds orlis_kcm_digsig without the unpacked packages (installed on this machine?)"
else
    pass "kcmshell5 does not know orlis_kcm_digsig without the unpacked packages"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all package checks passed"
