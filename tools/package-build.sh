#!/bin/sh
# Builds the Debian packages of the working tree with dpkg-buildpackage and checks them with
# lintian, which must report no error.
#
#   tools/package-build.sh [--with-tests] [output-folder]
#
# The tree is copied to a scratch folder first, so the build leaves the working tree alone.
# The packages, .changes and .buildinfo files land in the output folder (default:
# build-packages/ at the top of the tree), lintian's report in lintian.txt beside them.
# Without --with-tests the package build skips the test suite (DEB_BUILD_OPTIONS=nocheck);
# tools/run-tests.sh runs it. PACKAGE_JOBS sets the build's parallel jobs (default 2).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

build_options="nocheck"
if [ "${1:-}" = "--with-tests" ]; then
    build_options=""
    shift
fi
out=${1:-$top/build-packages}
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/orlis-package.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/src"

copy_tree()
{
    if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        # Tracked and new files, without what .gitignore keeps out (build folders).
        (cd "$top" && git ls-files -z --cached --others --exclude-standard |
            xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\n" "$f"; done' sh |
            tar -cf - -T -) | tar -xf - -C "$work/src"
    else
        (cd "$top" && tar -cf - --exclude='./build*' --exclude='./_demo' .) | tar -xf - -C "$work/src"
    fi
}

copy_tree
started=$(date +%s)
(
    cd "$work/src"
    DEB_BUILD_OPTIONS="$build_options parallel=${PACKAGE_JOBS:-2}" dpkg-buildpackage -us -uc -b
) >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log" >&2
    echo "package build failed; the full log is $out/build.log" >&2
    exit 1
}
echo "packages built in $(($(date +%s) - started)) s"

rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
changes=$(ls "$out"/*.changes)

lintian_status=0
lintian --info --fail-on error "$changes" >"$out/lintian.txt" 2>&1 || lintian_status=$?
for severity in E W I; do
    printf '%s: %s  ' "$severity" "$(grep -c "^$severity: " "$out/lintian.txt" || true)"
done
echo "(lintian; full report in $out/lintian.txt)"
if [ "$lintian_status" -ne 0 ]; then
    grep '^E: ' "$out/lintian.txt" >&2 || cat "$out/lintian.txt" >&2
    echo "lintian reports errors" >&2
    exit 1
fi
ls "$out"/*.deb
