#!/usr/bin/env python3
"""Writes the translatable texts of Qt Designer forms as i18n() calls for xgettext.

A small stand-in for KDE's extractrc, for machines without it. Like ki18n_wrap_ui it
takes every non-empty <string> that is not marked notr="true"; the "comment" attribute
becomes the message context and "extracomment" a note for translators. The output is
printed to standard output, one call per text, preceded by the same kind of location
comments that extractrc writes.
"""

import sys
import xml.parsers.expat


def c_literal(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    escaped = escaped.replace("\n", "\\n").replace("\t", "\\t").replace("\r", "\\r")
    return '"' + escaped + '"'


class FormReader:
    def __init__(self, path):
        self.path = path
        self.stack = []
        self.text = None
        self.calls = []

    def read(self):
        parser = xml.parsers.expat.ParserCreate()
        parser.StartElementHandler = lambda name, attrs: self.start(parser, name, attrs)
        parser.EndElementHandler = self.end
        parser.CharacterDataHandler = self.characters
        with open(self.path, "rb") as form:
            parser.ParseFile(form)
        return self.calls

    def start(self, parser, name, attrs):
        self.stack.append((name, attrs, parser.CurrentLineNumber))
        if name == "string":
            self.text = []

    def characters(self, data):
        if self.text is not None:
            self.text.append(data)

    def end(self, name):
        _, attrs, line = self.stack.pop()
        if name != "string":
            return
        text = "".join(self.text)
        self.text = None
        if text and attrs.get("notr") != "true":
            self.calls.append(self.call(text, attrs, line))

    def where(self):
        # The nearest property or attribute and the widget that owns it, as extractrc tells them.
        parts = []
        for name, attrs, _ in reversed(self.stack):
            if name in ("property", "attribute") and not parts:
                parts.append("%s (%s)" % (name, attrs.get("name", "")))
            elif name in ("widget", "layout", "action"):
                parts.append("%s (%s, %s)" % (name, attrs.get("class", ""), attrs.get("name", "")))
                break
        return ", ".join(parts)

    def call(self, text, attrs, line):
        lines = ["// i18n: file: %s:%d" % (self.path, line)]
        context = self.where()
        if context:
            lines.append("// i18n: ectx: " + context)
        note = attrs.get("extracomment")
        if note:
            lines.append("// i18n: " + note.replace("\n", " "))
        if attrs.get("comment"):
            lines.append("i18nc(%s, %s);" % (c_literal(attrs["comment"]), c_literal(text)))
        else:
            lines.append("i18n(%s);" % c_literal(text))
        return "\n".join(lines)


def main(paths):
    for path in paths:
        try:
            calls = FormReader(path).read()
        except (OSError, xml.parsers.expat.ExpatError) as error:
            print("%s: %s" % (path, error), file=sys.stderr)
            return 1
        for call in calls:
            print(call)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
