#!/usr/bin/env python3
"""Fails the build when the program's and the page's sides of their contract
disagree:
- the host functions that platform/web/page_host.cpp calls
  (Module["host"].name), those that platform/web/page_host.d.js describes
  (@property), and those that app/web/page.js hands over (its `host`
  object) must be the same;
- the calls that suspend the program (EM_ASYNC_JS in page_host.cpp) must be
  exactly the build's ASYNCIFY_IMPORTS, and the host functions they call
  exactly those the contract gives a Promise.

usage: check_page_contract.py PAGE_HOST_CPP PAGE_HOST_D_JS PAGE_JS ASYNCIFY_IMPORTS [--stamp FILE]
       (ASYNCIFY_IMPORTS: the names, separated by commas)
"""
import pathlib
import re
import sys

CALL = re.compile(r'Module\["host"\]\.(\w+)')
PROPERTY = re.compile(r"@property\s+\{(.*?)\}\s+(\w+)\s*$", re.MULTILINE)
EM_BLOCK = re.compile(r"\b(EM_JS|EM_ASYNC_JS)\(\s*[^,]+,\s*(\w+)\s*,")


def host_object_keys(text):
    start = text.index("const host = {")
    depth = 0
    keys = []
    token = ""
    expect_key = True
    for char in text[start + len("const host = "):]:
        if char in "{([":
            depth += 1
            if depth == 1:
                expect_key = True
            continue
        if char in "})]":
            depth -= 1
            if depth == 0:
                if token and expect_key:
                    keys.append(token)
                break
            continue
        if depth != 1:
            continue
        if char.isalnum() or char == "_":
            if expect_key:
                token += char
        elif char in ",:":
            if token and expect_key:
                keys.append(token)
            token = ""
            expect_key = char == ","
        elif not char.isspace():
            expect_key = False
            token = ""
    return keys


def em_blocks(text):
    """(kind, name, host functions called) of each EM_JS / EM_ASYNC_JS."""
    blocks = []
    matches = list(EM_BLOCK.finditer(text))
    for index, match in enumerate(matches):
        end = matches[index + 1].start() if index + 1 < len(matches) else len(text)
        blocks.append((match.group(1), match.group(2), set(CALL.findall(text[match.end():end]))))
    return blocks


def main():
    arguments = sys.argv[1:]
    stamp = None
    if "--stamp" in arguments:
        at = arguments.index("--stamp")
        stamp = pathlib.Path(arguments[at + 1])
        del arguments[at:at + 2]
    if len(arguments) != 4:
        sys.exit(__doc__)
    cpp, contract, page = (pathlib.Path(a).read_text(encoding="utf-8") for a in arguments[:3])
    imports = {name.strip() for name in arguments[3].split(",") if name.strip()}
    problems = []

    called = set(CALL.findall(cpp))
    described = {name: kind for kind, name in PROPERTY.findall(contract)}
    handed = host_object_keys(page)
    if len(handed) != len(set(handed)):
        problems.append(f"page.js hands some host functions twice: {sorted(handed)}")
    for name in sorted(called - set(described)):
        problems.append(f"page_host.cpp calls host.{name}, which the contract does not describe")
    for name in sorted(set(described) - called):
        problems.append(f"the contract describes host.{name}, which page_host.cpp never calls")
    for name in sorted(set(described) ^ set(handed)):
        where = "page.js does not hand it over" if name in described else "the contract does not describe it"
        problems.append(f"host.{name}: {where}")

    blocks = em_blocks(cpp)
    suspending = {"__asyncjs__" + name for kind, name, _ in blocks if kind == "EM_ASYNC_JS"}
    for name in sorted(suspending - imports):
        problems.append(f"{name} suspends the program but is not in ASYNCIFY_IMPORTS")
    for name in sorted(imports - suspending):
        problems.append(f"ASYNCIFY_IMPORTS names {name}, which is no EM_ASYNC_JS of page_host.cpp")
    awaited = set()
    for kind, name, calls in blocks:
        if kind == "EM_ASYNC_JS":
            awaited |= calls
    promised = {name for name, kind in described.items() if "Promise<" in kind.split("=>")[-1]}
    for name in sorted(awaited - promised):
        problems.append(f"host.{name} is awaited, but the contract does not give it a Promise")
    for name in sorted(promised - awaited):
        problems.append(f"host.{name} returns a Promise, but no EM_ASYNC_JS waits for it")

    if problems:
        sys.exit("check_page_contract: the program and the page disagree:\n  " + "\n  ".join(problems))
    if stamp:
        stamp.write_text("checked\n", encoding="utf-8")


if __name__ == "__main__":
    main()
