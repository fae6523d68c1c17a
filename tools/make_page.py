#!/usr/bin/env python3
"""Writes an updater page from the template app/web/index.html.in.

The template names texts and controls as res/resource.h does (IDS_...,
IDC_..., IDCANCEL): its data-text="NAME" and data-control-id="NAME" become
the numbers, its @@CAPTION@@, @@CONTROL:NAME@@ and @@TEXT:NAME@@ the English
texts of the page texts (gen_texts.py --page), so that the page reads right
before its script has run; the script puts in the browser's language.
@@TEXT_DE:NAME@@ is the German text, for what the page says when its script
never runs (it cannot know the browser's language then). A name
that resource.h does not define fails the build. @@HEAD@@ and @@BODY@@ take the content of the files given with
--head and --body (scripts to run before the page's own, elements to add at
the end of the body), or nothing.

usage: make_page.py TEMPLATE PAGE_TEXTS.json RESOURCE_H OUTPUT.html [--head FILE] [--body FILE]
"""
import html
import json
import pathlib
import re
import sys

PLACEHOLDER = re.compile(r"@@(CAPTION|HEAD|BODY|CONTROL:\w+|TEXT:\w+|TEXT_DE:\w+)@@")
ID_ATTRIBUTE = re.compile(r'data-(text|control-id)="(\w+)"')
DEFINE = re.compile(r"^\s*#\s*define\s+(\w+)\s+\(?(-?\d+)\)?\s*$")


def read_ids(path):
    ids = {}
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        match = DEFINE.match(line)
        if match:
            ids[match.group(1)] = int(match.group(2))
    return ids


def main():
    arguments = sys.argv[1:]
    extra = {"HEAD": "", "BODY": ""}
    for option, key in (("--head", "HEAD"), ("--body", "BODY")):
        if option in arguments:
            at = arguments.index(option)
            extra[key] = pathlib.Path(arguments[at + 1]).read_text(encoding="utf-8")
            del arguments[at:at + 2]
    if len(arguments) != 4:
        sys.exit(__doc__)
    template = pathlib.Path(arguments[0]).read_text(encoding="utf-8")
    page_texts = json.loads(pathlib.Path(arguments[1]).read_text(encoding="utf-8"))
    english = page_texts["en"]
    ids = read_ids(arguments[2])

    def number(name):
        if name not in ids:
            sys.exit(f"make_page: {name} is not defined in {arguments[2]}")
        return str(ids[name])

    def replace(match):
        name = match.group(1)
        if name in extra:
            return extra[name]
        if name == "CAPTION":
            return html.escape(english["caption"])
        kind, key = name.split(":")
        key = number(key)
        texts = page_texts["de"]["texts"] if kind == "TEXT_DE" else english["texts"]
        table = english["controls"] if kind == "CONTROL" else texts
        if key not in table:
            sys.exit(f"make_page: the page texts have no {kind.lower()} {key}")
        return html.escape(table[key].replace("\r\n", "\n"))

    page = PLACEHOLDER.sub(replace, template)
    page = ID_ATTRIBUTE.sub(lambda m: f'data-{m.group(1)}="{number(m.group(2))}"', page)
    if "@@" in page:
        sys.exit("make_page: a placeholder of the template was not filled")
    output = pathlib.Path(arguments[3])
    output.parent.mkdir(parents=True, exist_ok=True)
    if not output.exists() or output.read_text(encoding="utf-8") != page:
        output.write_text(page, encoding="utf-8")


if __name__ == "__main__":
    main()
