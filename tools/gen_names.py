#!/usr/bin/env python3
"""Writes names.mjs, the numbers that the program's C++ and the page's
JavaScript share, read from the C++ headers that define them: text and
control ids (res/resource.h), message-box styles and answers and device
events (platform/window.h), the platform's error values, the link's result
codes and the unit's IDs (link/), the update's block size and pauses
(update/), the page's event kinds
(platform/web/page_host.h).

Each `#define NAME number`, `constexpr <type> NAME = number;` and enum entry
`NAME = number,` of the headers becomes `export const NAME = number;`. A name
defined twice with two values is an error. The page's scripts, the emulated
unit's page and the browser tests import what they use from names.mjs, and
tools/check_js_names.py fails the build when one of them imports a name that
is not there: a renamed id breaks the build, and a renumbered one changes on
both sides at once.

usage: gen_names.py OUTPUT.mjs HEADER...
"""
import pathlib
import re
import sys

NUMBER = r"\(?\s*(-?\s*(?:0[xX][0-9a-fA-F]+|\d+))[uUlL]*\s*\)?"
DEFINE = re.compile(r"^\s*#\s*define\s+([A-Z][A-Z0-9_]*)\s+" + NUMBER + r"\s*(?://.*)?$")
CONSTEXPR = re.compile(
    r"^\s*(?:inline\s+)?constexpr\s+[\w:<>\s]+?\s([A-Z][A-Z0-9_]*)\s*=\s*" + NUMBER + r"\s*;")
ENUM_ENTRY = re.compile(r"^\s*([A-Z][A-Z0-9_]*)\s*=\s*" + NUMBER + r"\s*,?\s*(?://.*)?$")
ENUM_START = re.compile(r"^\s*enum\b")


def read_names(path):
    names = {}
    in_enum = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if ENUM_START.match(line):
            in_enum = True
        match = DEFINE.match(line) or CONSTEXPR.match(line)
        if not match and in_enum:
            match = ENUM_ENTRY.match(line)
        if in_enum and "}" in line:
            in_enum = False
        if match:
            names[match.group(1)] = (int(match.group(2).replace(" ", ""), 0), f"{path}:{number}")
    return names


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    output = pathlib.Path(sys.argv[1])
    names = {}
    for header in sys.argv[2:]:
        for name, (value, where) in read_names(pathlib.Path(header)).items():
            if name in names and names[name][0] != value:
                sys.exit(f"gen_names: {name} is {names[name][0]} at {names[name][1]} "
                         f"and {value} at {where}")
            names.setdefault(name, (value, where))
    lines = ["// Made by tools/gen_names.py from the C++ headers; do not edit.\n",
             f"// Read from: {', '.join(pathlib.Path(h).name for h in sys.argv[2:])}\n"]
    for name in sorted(names):
        lines.append(f"export const {name} = {names[name][0]};\n")
    content = "".join(lines)
    output.parent.mkdir(parents=True, exist_ok=True)
    if not output.exists() or output.read_text(encoding="utf-8") != content:
        output.write_text(content, encoding="utf-8")


if __name__ == "__main__":
    main()
