#! /usr/bin/env bash
# Extracts the module's texts into two catalogs:
#   orlis_kcm_digsig         the settings module, its forms and its message boxes;
#   orlis_kcm_digsig_helper  the messages of the settings files' parser.
# Run by KDE's scripty, or on any machine by tools/extract-messages.sh, which sets
# $EXTRACTRC, $XGETTEXT and $podir the same way.
#
# The catalog of a text is the first argument of its i18nd() call. xgettext cannot look at
# that argument, so each catalog is extracted from a copy of the sources in which the calls
# of the other domain are renamed (tools/translations-select-domain.py); forms and calls
# without a domain use the one the targets are compiled with (TRANSLATION_DOMAIN).
# The stand-ins under platform/ have catalogs of their own and are not extracted here.
set -e

main_domain=orlis_kcm_digsig
helper_domain=orlis_kcm_digsig_helper
case "$podir" in
/*) ;;
*) podir="$PWD/$podir" ;;
esac

prune="./platform ./autotests ./benchmarks ./tools ./po ./debian ./.git"
# Build directories inside the tree hold generated copies of the forms.
while read -r cache; do
    prune="$prune $(dirname "$cache")"
done < <(find . -mindepth 2 -maxdepth 3 -name CMakeCache.txt)
prune_expression=""
for dir in $prune; do
    prune_expression="$prune_expression -path $dir -o"
done
# shellcheck disable=SC2086
sources=$(find . \( $prune_expression -path './_*' -o -path './obj-*' \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
# shellcheck disable=SC2086
forms=$(find . \( $prune_expression -path './_*' -o -path './obj-*' \) -prune -o -name '*.ui' -print | sed 's|^\./||' | sort)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for domain in $main_domain $helper_domain; do
    # shellcheck disable=SC2086
    python3 tools/translations-select-domain.py --domain "$domain" --default-domain "$main_domain" \
        --known "$main_domain,$helper_domain" --output-dir "$work/$domain" $sources
done

# shellcheck disable=SC2086
$EXTRACTRC $forms >"$work/$main_domain/rc.cpp"

# shellcheck disable=SC2086
(cd "$work/$main_domain" && $XGETTEXT rc.cpp $sources -o "$podir/$main_domain.pot")
# shellcheck disable=SC2086
(cd "$work/$helper_domain" && $XGETTEXT $sources -o "$podir/$helper_domain.pot")
