#!/bin/bash
# Fails when a text of the code or the forms has no finished translation:
# re-extracts the templates into a work directory and compares every catalog of po/
# with its template. Untranslated and fuzzy entries fail, and so does a text missing
# from a catalog, a catalog missing for a language, or a translation whose
# placeholders (%1, %2 ...) do not match the source text.
#
#   translationscomplete.sh <work directory> [po directory]
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?work directory}
podir=${2:-$top/po}

mkdir -p "$work"
"$top/tools/extract-messages.sh" "$work" || { echo "FAIL: extraction failed"; exit 1; }

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

templates=("$work"/*.pot)
[ -e "${templates[0]}" ] || fail "no templates were extracted"
languages=()
for dir in "$podir"/*/; do
    [ -d "$dir" ] && languages+=("$(basename "$dir")")
done
[ ${#languages[@]} -gt 0 ] || fail "no translations under $podir"

for language in "${languages[@]}"; do
    for template in "${templates[@]}"; do
        catalog=$(basename "$template" .pot)
        po="$podir/$language/$catalog.po"
        if [ ! -e "$po" ]; then
            fail "$language has no catalog $catalog"
            continue
        fi
        msgfmt --check --output-file=/dev/null "$po" || fail "$po does not compile cleanly"
        # msgcmp counts untranslated and fuzzy entries as missing.
        msgcmp "$po" "$template" || fail "$po lacks translations of texts in the code"
        fuzzy=$(msgattrib --only-fuzzy --no-obsolete "$po" | grep -c '^msgid ')
        [ "$fuzzy" -eq 0 ] || fail "$po has $fuzzy fuzzy entries"
        untranslated=$(msgattrib --untranslated --no-obsolete "$po" | grep -c '^msgid ')
        [ "$untranslated" -eq 0 ] || fail "$po has $untranslated untranslated entries"
        # Translations of texts that are gone do no harm; mention them for the next merge.
        stale=$(msgcomm --less-than=2 --unique "$template" "$po" 2>/dev/null | msgattrib --no-obsolete --translated 2>/dev/null | grep -c '^msgid ')
        [ "$stale" -eq 0 ] || echo "note: $po keeps $stale translations of texts no longer in the code"
        echo "checked $po: $(msgfmt --statistics --output-file=/dev/null "$po" 2>&1)"
    done
done

# polkit actions carry their translations in the file itself: every description and message
# needs one per language.
policies=$(find "$top" \( -name .git -o -name 'build*' -o -name 'obj-*' \) -prune -o -name '*.policy.in' -print)
for policy in $policies; do
    for language in "${languages[@]}"; do
        missing=$(python3 - "$policy" "$language" <<'PY'
import sys
import xml.etree.ElementTree as tree
lang = "{http://www.w3.org/XML/1998/namespace}lang"
for action in tree.parse(sys.argv[1]).getroot().iter("action"):
    for kind in ("description", "message"):
        languages = [element.get(lang) for element in action.iter(kind)]
        if None in languages and sys.argv[2] not in languages:
            print(action.get("id"), kind)
PY
        ) || missing="unreadable"
        [ -z "$missing" ] || fail "$policy lacks $language texts: $missing"
    done
done

if [ "$failures" -ne 0 ]; then
    echo "$failures problems; tools/extract-messages.sh --merge brings the catalogs up to date"
    exit 1
fi
echo "all catalogs are complete"
