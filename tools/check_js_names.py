#!/usr/bin/env python3
"""Fails when a script of the page, of the emulated unit's page or of the
browser tests uses a name of names.mjs (the numbers shared with the C++,
made by gen_names.py) that names.mjs does not export: a renamed or removed
id then breaks the build, not a browser test minutes later.

A module uses names by importing them from a names.mjs
(`import { A, B } from "./names.mjs"`); the browser tests through the
harness's `N` (`N.IDS_READY`).

usage: check_js_names.py NAMES.mjs [--stamp FILE] SCRIPT...
"""
import pathlib
import re
import sys

EXPORT = re.compile(r"^export const ([A-Z][A-Z0-9_]*) = ", re.MULTILINE)
IMPORT = re.compile(r"import\s*\{([^}]*)\}\s*from\s*\"[^\"]*names\.mjs\"", re.DOTALL)
THROUGH_N = re.compile(r"\bN\.([A-Za-z_][A-Za-z0-9_]*)")


def main():
    arguments = sys.argv[1:]
    stamp = None
    if "--stamp" in arguments:
        at = arguments.index("--stamp")
        stamp = pathlib.Path(arguments[at + 1])
        del arguments[at:at + 2]
    if len(arguments) < 1:
        sys.exit(__doc__)
    exported = set(EXPORT.findall(pathlib.Path(arguments[0]).read_text(encoding="utf-8")))
    missing = []
    for script in arguments[1:]:
        text = pathlib.Path(script).read_text(encoding="utf-8")
        used = set(THROUGH_N.findall(text))
        for names in IMPORT.findall(text):
            used.update(name.strip().split(" as ")[0].strip() for name in names.split(",") if name.strip())
        missing += [f"{script}: {name}" for name in sorted(used - exported)]
    if missing:
        sys.exit("check_js_names: not defined in the C++ headers (names.mjs):\n  " + "\n  ".join(missing))
    if stamp:
        stamp.write_text("checked\n", encoding="utf-8")


if __name__ == "__main__":
    main()
