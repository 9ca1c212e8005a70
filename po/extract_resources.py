#!/usr/bin/env python3
"""Writes the texts of the dialog templates and string resources
(resources/ui/*.dlg, strings_*.txt) as a PO file, for xgettext to take into
po/dotvane.pot with the program's other texts.

The program translates these texts when it loads them (ui/templates.cpp), so
the catalogue holds them exactly as the files write them.  Left out: ICON
texts (resource numbers), empty texts, texts without a letter ("0.0") and
"Static", the placeholder that the windows replace before anyone reads it.

usage: extract_resources.py OUTPUT FILE...
"""
import os
import re
import sys

CONTROL = re.compile(r'^\s*(PUSHBUTTON|DEFPUSHBUTTON|LTEXT|CTEXT|RTEXT|PROGRESS)\s+-?\d+\s+"((?:[^"\\]|\\.)*)"')
CAPTION = re.compile(r'^\s*CAPTION\s+"((?:[^"\\]|\\.)*)"')
PLACEHOLDERS = {"Static"}


def unescape(text):
    return re.sub(r'\\(.)', r'\1', text)


def po_quote(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"').replace('\n', '\\n') + '"'


def texts(path, relative):
    with open(path, encoding="utf-8") as f:
        content = f.read()
    if path.endswith(".txt"):
        text = content[:-1] if content.endswith("\n") else content
        yield relative, 1, text, "window menu item; & marks the key letter"
        return
    for number, line in enumerate(content.splitlines(), 1):
        match = CAPTION.match(line)
        if match:
            yield relative, number, unescape(match.group(1)), "window title"
            continue
        match = CONTROL.match(line)
        if match:
            kind = {"PUSHBUTTON": "button", "DEFPUSHBUTTON": "button", "PROGRESS": "progress bar's name"}
            yield relative, number, unescape(match.group(2)), kind.get(match.group(1), "text")


def main():
    output, files = sys.argv[1], sys.argv[2:]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    entries = {}
    for path in files:
        relative = os.path.relpath(os.path.abspath(path), root)
        for where, number, text, what in texts(path, relative):
            if not text or text in PLACEHOLDERS or not re.search(r"[A-Za-z]", text):
                continue
            entry = entries.setdefault(text, {"refs": [], "notes": []})
            entry["refs"].append("%s:%d" % (where, number))
            if what not in entry["notes"]:
                entry["notes"].append(what)
    with open(output, "w", encoding="utf-8") as out:
        out.write('msgid ""\nmsgstr ""\n"Content-Type: text/plain; charset=UTF-8\\n"\n\n')
        for text, entry in entries.items():
            out.write("#. %s\n" % "; ".join(entry["notes"]))
            out.write("#: %s\n" % " ".join(entry["refs"]))
            out.write("msgid %s\nmsgstr \"\"\n\n" % po_quote(text))


if __name__ == "__main__":
    main()
