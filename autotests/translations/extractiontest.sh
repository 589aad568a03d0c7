#!/bin/bash
# Runs the extraction on a small made-up source tree and checks where each text lands,
# then feeds the completeness check catalogs with known gaps.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

passed=0
failed=0
check() { # <description> <command...>
    local description=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        echo "FAIL: $description"
        failed=$((failed + 1))
    fi
}
# Templates name no charset yet; the gettext tools want one.
entries() { # <template> <msgid>
    sed 's/charset=CHARSET/charset=UTF-8/' "$1" | msggrep --msgid --fixed-strings --regexp="$2" -
}
has() { # <template> <msgid>
    entries "$@" | grep -q '^msgid'
}
lacks() {
    ! has "$@"
}
# Exactly this msgid, newlines and escapes included.
has_exactly() { # <template> <msgid>
    python3 - "$1" "$2" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
unescape = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}
ids = []
for match in re.finditer(r'^msgid ((?:"(?:[^"\\]|\\.)*"\n?)+)', text, re.MULTILINE):
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', match.group(1))
    ids.append(re.sub(r"\\(.)", lambda m: unescape.get(m.group(1), m.group(1)), "".join(parts)))
sys.exit(0 if sys.argv[2] in ids else 1)
PY
}
context_of() { # <template> <msgid> <context>
    entries "$1" "$2" | grep -qF "msgctxt \"$3\""
}

# A source tree shaped like the repository's, with the real Messages.sh and tools.
tree="$scratch/tree"
mkdir -p "$tree/module" "$tree/settings" "$tree/platform" "$tree/build" "$tree/autotests"
cp "$top/Messages.sh" "$tree/"
ln -s "$top/tools" "$tree/tools"
cat >"$tree/settings/reader.cpp" <<'EOF'
namespace
{
const char HelperDomain[] = "orlis_kcm_digsig_helper";
}
void read()
{
    appendError(i18nd(HelperDomain, "helper text %1", path));
    appendError(i18nd("orlis_kcm_digsig", "module text in a helper file"));
    appendError(i18ndp("orlis_kcm_digsig_helper", "%1 helper line", "%1 helper lines", count));
    appendError(QCoreApplication::translate("Reader", "text of Qt's own translation"));
}
EOF
cat >"$tree/module/page.cpp" <<'EOF'
const char Domain[] = "orlis_kcm_digsig";
void build()
{
    tabs->addTab(page, i18nd(Domain,
        "tab title"));
    label->setText(ki18nd("orlis_kcm_digsig", "lazy text").toString());
    box->setText(i18ndc("orlis_kcm_digsig", "verb", "Open"));
    title = i18n("text of the compiled-in domain");
    title = i18nd("orlis_kcm_digsig_helper", "helper text in a module file");
}
EOF
cat >"$tree/module/page.ui" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Page</class>
 <widget class="QWidget" name="Page">
  <property name="windowTitle">
   <string>form title</string>
  </property>
  <property name="toolTip">
   <string>two
lines &amp; &quot;quotes&quot;</string>
  </property>
  <widget class="QLabel" name="label">
   <property name="text">
    <string comment="noun">Open</string>
   </property>
   <property name="styleSheet">
    <string notr="true">QLabel { color: red; }</string>
   </property>
  </widget>
 </widget>
</ui>
EOF
echo 'void stand_in() { i18nd("kcm-orlis-settings", "text of a stand-in"); }' >"$tree/platform/standin.cpp"
echo 'void test() { i18nd("orlis_kcm_digsig", "text of a test"); }' >"$tree/autotests/sometest.cpp"
touch "$tree/build/CMakeCache.txt"
echo 'void generated() { tr2i18nd("orlis_kcm_digsig", "text of a generated file"); }' >"$tree/build/ui_page.h"

out="$scratch/templates"
check "extraction of the made-up tree succeeds" "$tree/tools/extract-messages.sh" "$out"
main="$out/orlis_kcm_digsig.pot"
helper="$out/orlis_kcm_digsig_helper.pot"

check "a text with the domain in a constant goes to the helper catalog" has "$helper" "helper text %1"
check "a helper text in a module file goes to the helper catalog" has "$helper" "helper text in a module file"
check "a plural helper text goes to the helper catalog" has "$helper" "%1 helper line"
check "module texts stay out of the helper catalog" lacks "$helper" "module text in a helper file"
check "form texts stay out of the helper catalog" lacks "$helper" "form title"
check "calls without a domain stay out of the helper catalog" lacks "$helper" "text of the compiled-in domain"

check "a module text in a helper file goes to the module catalog" has "$main" "module text in a helper file"
check "a call split over lines is found" has "$main" "tab title"
check "ki18nd texts are found" has "$main" "lazy text"
check "calls without a domain go to the module catalog" has "$main" "text of the compiled-in domain"
check "helper texts stay out of the module catalog" lacks "$main" "helper text %1"
check "helper texts in module files stay out of the module catalog" lacks "$main" "helper text in a module file"
check "form titles are extracted" has "$main" "form title"
check "form texts keep newlines, ampersands and quotes" has_exactly "$main" $'two\nlines & "quotes"'
check "a form's disambiguation comment becomes the context" context_of "$main" "Open" "noun"
check "a call's context is kept" context_of "$main" "Open" "verb"
check "notr texts are not extracted" lacks "$main" "QLabel { color: red; }"
check "the stand-ins' domain is not extracted" lacks "$main" "text of a stand-in"
check "tests are not extracted" lacks "$main" "text of a test"
check "generated files of a build directory are not extracted" lacks "$main" "text of a generated file"
check "Qt's own translations are not part of the catalogs" lacks "$main" "text of Qt's own translation"

# A domain the extraction cannot tell, or one that is not the module's, must stop it.
cp -r "$tree" "$scratch/unknown"
echo 'void f() { i18nd(SomewhereElse, "lost text"); }' >"$scratch/unknown/module/lost.cpp"
check "a domain given by an unknown name stops the extraction" bash -c "! '$scratch/unknown/tools/extract-messages.sh' '$scratch/unknown-out'"
cp -r "$tree" "$scratch/typo"
echo 'void f() { i18nd("orlis_kcm_digsg", "lost text"); }' >"$scratch/typo/module/lost.cpp"
check "a misspelt domain stops the extraction" bash -c "! '$scratch/typo/tools/extract-messages.sh' '$scratch/typo-out'"

# The completeness check against catalogs with known gaps.
complete="$top/autotests/translations/translationscomplete.sh"
check "the repository's catalogs are complete" "$complete" "$scratch/check-ok"
gap() { # <name> <sed expression applied to the module catalog>
    mkdir -p "$scratch/$1/ru"
    cp "$top"/po/ru/*.po "$scratch/$1/ru/"
    sed -i "$2" "$scratch/$1/ru/orlis_kcm_digsig.po"
}
gap untranslated '/^msgid "Keys"$/{n;s/.*/msgstr ""/}'
check "an untranslated text fails the check" bash -c "! '$complete' '$scratch/check-untranslated' '$scratch/untranslated'"
gap fuzzy '/^msgid "Keys"$/i #, fuzzy'
check "a fuzzy translation fails the check" bash -c "! '$complete' '$scratch/check-fuzzy' '$scratch/fuzzy'"
gap missing '/^msgid "Keys"$/,/^$/d'
check "a text missing from the catalog fails the check" bash -c "! '$complete' '$scratch/check-missing' '$scratch/missing'"
gap placeholder 's/^msgstr "Идентификатор ключа: %1"$/msgstr "Идентификатор ключа"/'
check "a translation that drops a placeholder fails the check" bash -c "! '$complete' '$scratch/check-placeholder' '$scratch/placeholder'"
gap nocatalog 's/x/x/'
rm "$scratch/nocatalog/ru/orlis_kcm_digsig_helper.po"
check "a language without one of the catalogs fails the check" bash -c "! '$complete' '$scratch/check-nocatalog' '$scratch/nocatalog'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
