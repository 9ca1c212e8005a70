#!/usr/bin/env python3
"""Writes a program's manual page from its own --help and a file of further
sections, so that nothing the help says is kept twice.

    manpage.py --program PATH --title NAME --section 1 --source "Dotvane 1.0" \
               --sections FILE --output NAME.1

From the help (CLI11's layout): the text before "Usage:" is the DESCRIPTION,
the usage line the SYNOPSIS, the option list the OPTIONS, and the lines after
it go to the DESCRIPTION, except one starting "Exit status:", which becomes
EXIT STATUS.  FILES holds roff: a ".SH NAME" section whose text is the
one-line summary, then any further sections, copied as they are.  In them a
line

    .\" markdown: PATH HEADING

stands for the section "## HEADING" of the Markdown file PATH (relative to
the sections file): its table as a list, its paragraphs as paragraphs.  So
a text already kept in the documentation is not kept again here.
"""
import argparse
import gzip
import os
import re
import subprocess
import sys

OPTION_COLUMN = 30  # where CLI11 starts an option's description


def roff_text(text):
    """Plain text as roff: backslashes escaped, hyphens of options as minus
    signs, no line starting with a control character."""
    text = text.replace("\\", "\\e")
    text = re.sub(r"(?<![\w-])(-+)(?=[\w])", lambda m: "\\-" * len(m.group(1)), text)
    lines = []
    for line in text.split("\n"):
        if line.startswith((".", "'")):
            line = "\\&" + line
        lines.append(line)
    return "\n".join(lines)


def option_heading(spec):
    """"-h,--help" or "--log FILE" as a .TP heading: names bold, the rest roman."""
    words = spec.split(" ", 1)
    names = ", ".join("\\fB" + roff_text(name) + "\\fR" for name in words[0].split(","))
    return names + (" " + roff_text(words[1]) if len(words) > 1 else "")


def parse_help(text):
    description, usage, options, after = [], "", [], []
    lines = text.rstrip("\n").split("\n")
    i = 0
    while i < len(lines) and not lines[i].startswith("Usage:"):
        if lines[i].strip():
            description.append(lines[i].strip())
        i += 1
    if i == len(lines):
        sys.exit("manpage.py: the help has no Usage: line")
    usage = lines[i][len("Usage:"):].strip()
    i += 1
    while i < len(lines) and lines[i].strip() != "Options:":
        i += 1
    i += 1
    while i < len(lines) and lines[i].strip():
        line = lines[i]
        if not line.startswith("  ") or line.startswith(" " * OPTION_COLUMN):
            sys.exit("manpage.py: cannot read the option line %r" % line)
        spec = line[2:OPTION_COLUMN].rstrip() if len(line) > OPTION_COLUMN else line.strip()
        text = line[OPTION_COLUMN:].strip() if len(line) > OPTION_COLUMN else ""
        if len(line) > OPTION_COLUMN and line[OPTION_COLUMN - 1] != " ":
            spec, text = line.strip(), ""  # the option is too long for the column
        i += 1
        if not text and i < len(lines) and lines[i].startswith(" " * OPTION_COLUMN):
            text = lines[i].strip()
            i += 1
        options.append((spec, text))
    after = [line.strip() for line in lines[i:] if line.strip()]
    return description, usage, options, after


def roff_inline(text):
    """A Markdown line as roff: `code` bold, with <names> in it italic."""
    out = []
    for i, part in enumerate(text.split("`")):
        if i % 2 == 0:
            out.append(roff_text(part))
            continue
        code = []
        for j, piece in enumerate(re.split(r"<([^<>]+)>", part)):
            if piece:
                code.append(("\\fI%s\\fB" if j % 2 else "%s") % roff_text(piece))
        out.append("\\fB" + "".join(code) + "\\fR")
    return "".join(out)


def markdown_section(path, heading):
    """The section "## heading" of a Markdown file as roff."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    try:
        start = lines.index("## " + heading) + 1
    except ValueError:
        sys.exit("manpage.py: %s has no section %r" % (path, heading))
    out, paragraph = [], []

    def flush():
        if paragraph:
            out.extend([".PP", roff_inline(" ".join(paragraph))])
            paragraph.clear()

    in_comment = False
    for line in lines[start:]:
        if line.startswith("## "):
            break
        if in_comment or line.lstrip().startswith("<!--"):
            in_comment = "-->" not in line  # notes for the documentation's editors
            continue
        if line.startswith("|"):
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
            if len(cells) != 2 or set(cells[0]) <= set("-:") or not cells[0].startswith("`"):
                continue  # the header row and its rule
            body = cells[1][:1].upper() + cells[1][1:]
            out.extend([".TP", roff_inline(cells[0]), roff_inline(body if body.endswith(".") else body + ".")])
        elif line.strip():
            paragraph.append(line.strip())
        else:
            flush()
    flush()
    # Every line of text starts safely, whatever the Markdown held.
    return "\n".join(line if line.startswith((".TP", ".PP")) else ("\\&" + line if line.startswith((".", "'")) else line)
                     for line in out)


def read_sections(path):
    """The sections file as (heading, body) pairs."""
    sections, heading, body = [], None, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            if line.startswith(".SH "):
                if heading is not None:
                    sections.append((heading, "\n".join(body).strip("\n")))
                heading, body = line[4:].strip().strip('"'), []
            elif heading is not None and line.startswith('.\\" markdown: '):
                source, title = line[len('.\\" markdown: '):].split(" ", 1)
                body.append(markdown_section(os.path.join(os.path.dirname(path), source), title.strip()))
            elif heading is not None:
                body.append(line)
            elif line.strip() and not line.startswith('.\\"'):
                sys.exit("manpage.py: %s: text before the first .SH" % path)
    if heading is not None:
        sections.append((heading, "\n".join(body).strip("\n")))
    return sections


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--title", required=True)
    parser.add_argument("--section", default="1")
    parser.add_argument("--source", required=True)
    parser.add_argument("--sections", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--gzip", help="also write the page compressed, as Debian installs it, to this file")
    args = parser.parse_args()

    # The page is English whatever the builder's language: the program's help
    # is translated, its manual page is not.
    env = {k: v for k, v in os.environ.items() if k not in ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")}
    env["LC_ALL"] = "C"
    run = subprocess.run([args.program, "--help"], capture_output=True, text=True, timeout=60, env=env)
    if run.returncode != 0:
        sys.exit("manpage.py: %s --help ended with %d: %s" % (args.program, run.returncode, run.stderr))
    description, usage, options, after = parse_help(run.stdout)
    sections = read_sections(args.sections)
    summary = [body for heading, body in sections if heading == "NAME"]
    if len(summary) != 1:
        sys.exit("manpage.py: %s needs exactly one NAME section" % args.sections)

    exit_status = [line for line in after if line.startswith("Exit status:")]
    after = [line for line in after if not line.startswith("Exit status:")]

    out = ['.\\" Generated by cmake/manpage.py from %s --help and %s; edit those.' % (args.title, args.sections)]
    out.append('.TH %s %s "" "%s" "User Commands"' % (args.title.upper(), args.section, args.source))
    out.append(".SH NAME")
    out.append("%s \\- %s" % (args.title, summary[0].strip()))
    out.append(".SH SYNOPSIS")
    words = usage.split(" ", 1)
    out.append("\\fB%s\\fR%s" % (roff_text(words[0]), " " + roff_text(words[1]) if len(words) > 1 else ""))
    out.append(".SH DESCRIPTION")
    for paragraph in [" ".join(description)] + after:
        out.append(roff_text(paragraph))
        out.append(".PP")
    out.pop()
    out.append(".SH OPTIONS")
    for spec, text in options:
        out.append(".TP")
        out.append(option_heading(spec))
        out.append(roff_text(text))
    if exit_status:
        out.append(".SH EXIT STATUS")
        text = exit_status[0][len("Exit status:"):].strip()
        out.append(roff_text(text[:1].upper() + text[1:]))
    for heading, body in sections:
        if heading == "NAME":
            continue
        out.append('.SH "%s"' % heading if " " in heading else ".SH " + heading)
        out.append(body)
    page = ("\n".join(out) + "\n").encode("utf-8")
    with open(args.output, "wb") as f:
        f.write(page)
    if args.gzip:
        # No name and no time in the header: the same page gives the same bytes.
        with open(args.gzip, "wb") as raw, gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw,
                                                          mtime=0) as f:
            f.write(page)


if __name__ == "__main__":
    main()
