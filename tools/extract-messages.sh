#!/bin/bash
# Extracts the translation templates the way KDE's scripty does, without scripty:
# runs the repository's Messages.sh with $EXTRACTRC, $XGETTEXT and $podir set.
#
#   tools/extract-messages.sh [--merge] [output directory]
#
# The templates (*.pot) go to the output directory (default: the current directory).
# With --merge every po/<language>/<catalog>.po is brought up to date with its template
# (new texts appear untranslated, changed ones fuzzy) for a translator to finish.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

merge=false
if [ "${1:-}" = "--merge" ]; then
    merge=true
    shift
fi
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)

for tool in xgettext msgmerge python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (Debian packages gettext, python3)" >&2; exit 1; }
done

if command -v extractrc >/dev/null; then
    EXTRACTRC=extractrc
else
    EXTRACTRC="python3 $top/tools/translations-extractrc.py"
fi
# The keyword set of KDE's scripty, with the domain forms of KI18n.
XGETTEXT="xgettext --copyright-holder=This_file_is_part_of_KDE --msgid-bugs-address=https://bugs.kde.org
    --from-code=UTF-8 -C --kde -ci18n
    -ki18n:1 -ki18nc:1c,2 -ki18np:1,2 -ki18ncp:1c,2,3
    -ki18nd:2 -ki18ndc:2c,3 -ki18ndp:2,3 -ki18ndcp:2c,3,4
    -kki18n:1 -kki18nc:1c,2 -kki18np:1,2 -kki18ncp:1c,2,3
    -kki18nd:2 -kki18ndc:2c,3 -kki18ndp:2,3 -kki18ndcp:2c,3,4
    -kxi18n:1 -kxi18nc:1c,2 -kxi18np:1,2 -kxi18ncp:1c,2,3
    -kxi18nd:2 -kxi18ndc:2c,3 -kxi18ndp:2,3 -kxi18ndcp:2c,3,4
    -kkxi18n:1 -kkxi18nc:1c,2 -kkxi18np:1,2 -kkxi18ncp:1c,2,3
    -kkxi18nd:2 -kkxi18ndc:2c,3 -kkxi18ndp:2,3 -kkxi18ndcp:2c,3,4
    -kI18N_NOOP:1 -kI18NC_NOOP:1c,2 -kI18N_NOOP2:1c,2 -kI18N_NOOP2_NOSTRIP:1c,2
    -ktr2i18n:1 -ktr2i18nd:2 -ktr2xi18n:1 -ktr2xi18nd:2"
podir=$out
export EXTRACTRC XGETTEXT podir

# Stale templates must not survive a catalog that lost all its texts.
rm -f "$out"/orlis_kcm_digsig.pot "$out"/orlis_kcm_digsig_helper.pot
(cd "$top" && bash Messages.sh)

if $merge; then
    for po in "$top"/po/*/*.po; do
        [ -e "$po" ] || continue
        template="$out/$(basename "$po" .po).pot"
        [ -e "$template" ] || { echo "no template for $po" >&2; continue; }
        msgmerge --quiet --update --backup=none --previous "$po" "$template"
    done
fi
