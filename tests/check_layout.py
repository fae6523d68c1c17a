#!/usr/bin/env python3
"""Checks the layout's one-way dependencies.

- platform/ (the seam headers and their implementations) includes nothing
  from app/, link/ or update/;
- the portable logic (app/ but its front ends app/win32 and app/web, link/,
  update/) includes only the seam headers of platform/, never one
  platform's own headers or system headers of Windows or the browser;
- the logic is layered link <- update <- app: link/ includes nothing from
  update/ or app/, and update/ nothing from app/ (where the update needs the
  main window it calls the plain functions of update/update_window.h, which
  the shell defines, as platform/ declares the seams each platform defines);
- app/, link/, update/ and platform/ are plain functions over a few globals:
  no virtual function and no class derived from another (RAII helpers for
  the platform's handles are classes of their own, derived from nothing).

usage: check_layout.py PROJECT_ROOT      exits 1 and names each offence
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
FRONT_ENDS = ("app/win32/", "app/web/")
PLATFORM_SYSTEM_HEADERS = ("windows.h", "emscripten", "setupapi.h", "hidsdi.h", "dbt.h",
                           "commctrl.h")
# The logic's layers, lowest first: each may include those below it, never
# those above.
LAYERS = ("link", "update", "app")
# A virtual function, and a class or struct derived from another (its name,
# perhaps `final`, then a single colon).
VIRTUAL = re.compile(r"\bvirtual\b")
DERIVED = re.compile(r"(?<!enum )\b(?:class|struct)\s+\w+(?:\s+final)?\s*:(?!:)")


def includes(path):
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(line)
        if match:
            yield number, match.group(1), match.group(2)


def code_lines(path):
    """The lines without their // comments (the system's comments are all
    line comments)."""
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        yield number, line.split("//", 1)[0]


def offences(root):
    paths = (p for top in ("app", "link", "update", "platform") for p in (root / top).rglob("*"))
    for path in sorted(paths):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        top = relative.split("/")[0]
        for number, line in code_lines(path):
            if VIRTUAL.search(line):
                yield f"{relative}:{number}: a virtual function (plain functions only)"
            if DERIVED.search(line):
                yield f"{relative}:{number}: a class derived from another (plain functions only)"
        if top == "platform":
            for number, quote, name in includes(path):
                if quote == '"' and name.split("/")[0] in LAYERS:
                    yield f"{relative}:{number}: the platform layer includes {name}"
            continue
        for number, quote, name in includes(path):
            included = name.split("/")[0]
            if quote == '"' and included in LAYERS and LAYERS.index(included) > LAYERS.index(top):
                yield f"{relative}:{number}: {top}/ includes {name} from the layer above it"
        if relative.startswith(FRONT_ENDS):
            continue
        for number, quote, name in includes(path):
            if quote == '"' and name.startswith("platform/") and name.count("/") > 1:
                yield f"{relative}:{number}: portable logic includes one platform's {name}"
            if quote == "<" and name.lower().startswith(PLATFORM_SYSTEM_HEADERS):
                yield f"{relative}:{number}: portable logic includes <{name}>"


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    found = list(offences(root))
    for line in found:
        print(line)
    if found:
        sys.exit(1)
    print("layout: platform/ includes nothing from app/, link/ or update/; the logic is "
          "portable and layered link <- update <- app; no virtual function or class "
          "hierarchy")


if __name__ == "__main__":
    main()
