#!/bin/sh
# Installs the Debian 12 packages needed to build, test and demonstrate the module.
set -eu

packages="
    build-essential cmake ninja-build extra-cmake-modules pkg-config
    qtbase5-dev qttools5-dev
    libkf5configwidgets-dev libkf5coreaddons-dev libkf5i18n-dev libkf5widgetsaddons-dev libkf5auth-dev
    libgpgmepp-dev libgpgme-dev gnupg gpg-agent pinentry-qt
    clang libclang-rt-14-dev
    kde-cli-tools breeze-icon-theme oxygen-icon-theme
    dbus dbus-x11 polkitd pkexec
    xvfb xauth xdotool imagemagick x11-utils qttranslations5-l10n
    util-linux attr
    dpkg-dev debhelper lintian fakeroot gettext
    ansible-core ansible-lint
"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
