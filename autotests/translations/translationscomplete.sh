#!/bin/bash
# The catalogs of po/ match the texts of the code, the forms and the polkit actions exactly:
# every text has a finished translation (not fuzzy, placeholders kept) and every translated
# text is still in the code, so that a text the extraction lost or misplaced fails as well.
# Also, the extraction stops at a domain it cannot tell or does not know.
#   translationscomplete.sh <work directory>
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?work directory}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

mkdir -p "$work"
"$top/tools/extract-messages.sh" "$work/templates" || fail "the extraction failed"
languages=$(cd "$top/po" && ls -d -- */ | tr -d /)
[ -n "$languages" ] || fail "no translations under po/"
for language in $languages; do
    for template in "$work"/templates/*.pot; do
        po="$top/po/$language/$(basename "$template" .pot).po"
        [ -e "$po" ] || { fail "$po is missing"; continue; }
        msgfmt --check --output-file=/dev/null "$po" || fail "$po does not compile cleanly"
        # Untranslated and fuzzy entries count as missing.
        msgcmp "$po" "$template" || fail "$po lacks translations of texts in the code"
        stale=$(msgcomm --less-than=2 --unique "$template" "$po" | msgattrib --no-obsolete --translated | grep '^msgid ')
        [ -z "$stale" ] || fail "$po translates texts that are not in the code: $stale"
    done
    # polkit actions carry their translations in the file itself.
    for policy in $(find "$top" \( -name .git -o -name 'build*' -o -name 'obj-*' \) -prune -o -name '*.policy.in' -print); do
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

# A source tree with one call whose domain is a name the extraction cannot resolve, or a typo.
for domain in SomewhereElse '"orlis_kcm_digsg"'; do
    tree="$work/tree-$failures-${#domain}"
    rm -rf "$tree" && mkdir -p "$tree/module" && cp "$top/Messages.sh" "$tree/" && ln -s "$top/tools" "$tree/tools"
    echo "void f() { i18nd($domain, \"lost text\"); }" >"$tree/module/lost.cpp"
    ! "$tree/tools/extract-messages.sh" "$tree/out" 2>/dev/null || fail "the extraction took the domain $domain"
done

[ "$failures" -eq 0 ] || { echo "$failures problems; tools/extract-messages.sh --merge brings the catalogs up to date"; exit 1; }
echo "all catalogs are complete"
