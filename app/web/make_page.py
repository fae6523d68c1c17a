#!/usr/bin/env python3
"""Writes an updater page from the template app/web/index.html.in.

The template's @@CAPTION@@, @@CONTROL:<id>@@ and @@TEXT:<id>@@ become the
English texts of the page texts (gen_texts.py --page), so that the page
reads right before its script has run; the script puts in the browser's
language. @@HEAD@@ and @@BODY@@ take the content of the files given with
--head and --body (scripts to run before the page's own, elements to add at
the end of the body), or nothing.

usage: make_page.py TEMPLATE PAGE_TEXTS.json OUTPUT.html [--head FILE] [--body FILE]
"""
import html
import json
import pathlib
import re
import sys

PLACEHOLDER = re.compile(r"@@(CAPTION|HEAD|BODY|CONTROL:-?\d+|TEXT:\d+)@@")


def main():
    arguments = sys.argv[1:]
    extra = {"HEAD": "", "BODY": ""}
    for option, key in (("--head", "HEAD"), ("--body", "BODY")):
        if option in arguments:
            at = arguments.index(option)
            extra[key] = pathlib.Path(arguments[at + 1]).read_text(encoding="utf-8")
            del arguments[at:at + 2]
    if len(arguments) != 3:
        sys.exit(__doc__)
    template = pathlib.Path(arguments[0]).read_text(encoding="utf-8")
    english = json.loads(pathlib.Path(arguments[1]).read_text(encoding="utf-8"))["en"]

    def replace(match):
        name = match.group(1)
        if name in extra:
            return extra[name]
        if name == "CAPTION":
            return html.escape(english["caption"])
        kind, number = name.split(":")
        table = english["controls"] if kind == "CONTROL" else english["texts"]
        if number not in table:
            sys.exit(f"make_page: the page texts have no {kind.lower()} {number}")
        return html.escape(table[number].replace("\r\n", "\n"))

    page = PLACEHOLDER.sub(replace, template)
    if "@@" in page:
        sys.exit("make_page: a placeholder of the template was not filled")
    output = pathlib.Path(arguments[2])
    output.parent.mkdir(parents=True, exist_ok=True)
    if not output.exists() or output.read_text(encoding="utf-8") != page:
        output.write_text(page, encoding="utf-8")


if __name__ == "__main__":
    main()
