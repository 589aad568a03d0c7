#!/usr/bin/env python3
"""Copies sources so that xgettext sees only the texts of one translation domain.

The module's texts live in two catalogs, chosen by the first argument of i18nd() and its
relatives, written either as a string or as a constant of the same file. A plain xgettext
keyword cannot look at that argument, so each copy keeps the calls of the selected domain
as they are and renames every other call to a name that no keyword matches. Lines stay
where they were, so the catalog's source references still point at the real files.

Calls without a domain (i18n(), tr2i18n(), I18N_NOOP() ...) belong to the domain the
targets are compiled with (TRANSLATION_DOMAIN, given as --default-domain).

A call whose domain cannot be worked out, or names a domain that is not one of the
--known ones, is an error: its text would silently never be translated.
"""

import argparse
import os
import re
import sys

STRING = r'"(?:[^"\\\n]|\\.)*"'
DOMAIN_CALL = re.compile(r"\b((?:k?x?i18nd(?:c|p|cp)?)|(?:tr2x?i18nd))\s*\(\s*(" + STRING + r"|[A-Za-z_][\w:]*)")
PLAIN_CALL = re.compile(r"\b((?:k?x?i18n(?:c|p|cp)?)|(?:tr2x?i18n)|I18N_NOOP2?(?:_NOSTRIP)?|I18NC_NOOP)\s*\(")
CONSTANTS = [
    re.compile(r"\bchar\s+(?:const\s+)?(\w+)\s*\[\s*\]\s*=\s*(" + STRING + r")\s*;"),
    re.compile(r"\bchar\s+(?:const\s*)?\*\s*(?:const\s+)?(\w+)\s*=\s*(" + STRING + r")\s*;"),
    re.compile(r"^\s*#\s*define\s+(\w+)\s+(" + STRING + r")\s*$", re.MULTILINE),
]
ELSEWHERE = "elsewhere_"


def unquote(literal):
    return literal[1:-1].encode().decode("unicode_escape")


def constants_of(text, default_domain):
    found = {"TRANSLATION_DOMAIN": default_domain}
    for pattern in CONSTANTS:
        for match in pattern.finditer(text):
            found[match.group(1)] = unquote(match.group(2))
    return found


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def select(path, text, options, problems):
    constants = constants_of(text, options.default_domain)
    renames = []

    for match in DOMAIN_CALL.finditer(text):
        argument = match.group(2)
        if argument.startswith('"'):
            domain = unquote(argument)
        else:
            domain = constants.get(argument.split("::")[-1])
        if domain is None:
            problems.append("%s:%d: cannot tell the translation domain %s" % (path, line_of(text, match.start()), argument))
            continue
        if domain not in options.known:
            problems.append("%s:%d: unknown translation domain \"%s\"" % (path, line_of(text, match.start()), domain))
            continue
        if domain != options.domain:
            renames.append(match.start(1))

    if options.domain != options.default_domain:
        renames.extend(match.start(1) for match in PLAIN_CALL.finditer(text))

    for offset in sorted(renames, reverse=True):
        text = text[:offset] + ELSEWHERE + text[offset:]
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--domain", required=True, help="the catalog to keep")
    parser.add_argument("--default-domain", required=True, help="the domain of calls without one")
    parser.add_argument("--known", required=True, help="comma-separated domains of this module")
    parser.add_argument("--output-dir", required=True)
    parser.add_argument("files", nargs="*", help="paths relative to the current directory")
    options = parser.parse_args()
    options.known = set(options.known.split(","))

    problems = []
    for path in options.files:
        with open(path, encoding="utf-8") as source:
            text = source.read()
        target = os.path.join(options.output_dir, path)
        os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        with open(target, "w", encoding="utf-8") as copy:
            copy.write(select(path, text, options, problems))

    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
