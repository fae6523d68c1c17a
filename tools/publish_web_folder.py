#!/usr/bin/env python3
"""Writes a folder of the page as it is served: OUT, made anew from the
assembled files in FOLDER, each file that a page loads named by its content,
and OUT/sw.js and OUT/release.json stamped last (stamp_service_worker.py).

A file named by its content ("page.3f0c6a1d92b4e857.js": the first 16 hex
digits of the SHA-256 digest of what it holds) can be cached for ever: a new
release that changes it gives it a new name, so that no cache, proxy or half
done deploy can hand a page files of two releases, or an old image (it is
inside updater.wasm, named by its content, and updater.js, which names it,
is named by its own in turn).

Every reference to such a file in the folder's texts (pages, scripts,
modules, styles, the manifest, texts.json) is written with the new name: a
name in quotes or parentheses, as the file's path relative to the file that
names it ("names.mjs", "./names.mjs", "../names.mjs", url(logo.png)). A file
is named after the files it names, so that its name covers theirs too.

Names that must stay as they are keep them: the entry pages (*.html), the
service worker (sw.js, which lists every file and is fetched by the browser
by its name) and release.json (which the page asks for by its name), both
written by the stamp, the web app manifest (its address is the app's
identity), the udev rule (offered for download under its name), and the emulated unit's
files below emulator/ (the demo's and the tests' stand-in, not the product).

A file to be named by its content that nothing names, or names that name
each other in a circle, fail: its address could not be known to the page.

usage: publish_web_folder.py FOLDER OUT [SW_TEMPLATE]
"""
import hashlib
import pathlib
import posixpath
import re
import shutil
import sys

import stamp_service_worker

DIGEST_DIGITS = 16
TEXT_SUFFIXES = {".html", ".js", ".mjs", ".css", ".json", ".webmanifest"}
# What may stand right before and right after a name in a reference: quotes,
# or a style's url( ).
BEFORE = "(?:(?<=[\"'`])|(?<=url\())"
AFTER = "(?=[\"'`)?#])"


def keeps_name(relative):
    name = posixpath.basename(relative)
    return (relative.startswith("emulator/") or name.endswith(".html") or
            name in (stamp_service_worker.WORKER, stamp_service_worker.RELEASE) or
            name.endswith(".webmanifest") or name.endswith(".rules"))


def content_name(relative, content):
    directory, name = posixpath.split(relative)
    stem, dot, suffix = name.rpartition(".")
    if not dot or not stem:
        stem, suffix = name, ""
    digest = hashlib.sha256(content).hexdigest()[:DIGEST_DIGITS]
    named = f"{stem}.{digest}" + (f".{suffix}" if suffix else "")
    return posixpath.join(directory, named) if directory else named


def reference_pattern(source, target):
    """Matches a reference to `target` in the text of `source` (both
    relative to the folder)."""
    path = posixpath.relpath(target, posixpath.dirname(source) or ".")
    return re.compile(f"{BEFORE}(\\./)?{re.escape(path)}{AFTER}"), path


def publish(folder, out, template):
    files = stamp_service_worker.folder_files(folder)
    contents = {relative: (folder / relative).read_bytes() for relative in files}
    texts = [f for f in files if pathlib.PurePosixPath(f).suffix in TEXT_SUFFIXES]
    renamed = [f for f in files if not keeps_name(f)]

    # Which file names which of those to be renamed.
    names = {f: [] for f in files}
    named_by = {f: [] for f in renamed}
    for source in texts:
        text = contents[source].decode("utf-8")
        for target in renamed:
            if target != source and reference_pattern(source, target)[0].search(text):
                names[source].append(target)
                named_by[target].append(source)
    orphans = [f for f in renamed if not named_by[f]]
    if orphans:
        sys.exit(f"publish_web_folder: {folder}: nothing names {', '.join(orphans)}; "
                 "a file to be named by its content must be named in quotes by a file of the page")

    # Each file after the files it names.
    new_names = {}
    state = {}

    def visit(relative, trail):
        if state.get(relative) == "done":
            return
        if state.get(relative) == "visiting":
            sys.exit(f"publish_web_folder: {folder}: files name each other in a circle: "
                     + " -> ".join(trail + [relative]))
        state[relative] = "visiting"
        for target in names[relative]:
            visit(target, trail + [relative])
        content = contents[relative]
        if names[relative]:
            text = content.decode("utf-8")
            for target in names[relative]:
                pattern, path = reference_pattern(relative, target)
                new_path = posixpath.relpath(new_names[target], posixpath.dirname(relative) or ".")
                text = pattern.sub(lambda match: (match.group(1) or "") + new_path, text)
            content = text.encode("utf-8")
            contents[relative] = content
        new_names[relative] = relative if keeps_name(relative) else content_name(relative, content)
        state[relative] = "done"

    for relative in files:
        visit(relative, [])

    if out.exists():
        shutil.rmtree(out)
    for relative in files:
        target = out / new_names[relative]
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(contents[relative])
    stamp_service_worker.stamp_folder(out, template)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: publish_web_folder.py FOLDER OUT [SW_TEMPLATE]")
    folder = pathlib.Path(sys.argv[1])
    out = pathlib.Path(sys.argv[2])
    template = (pathlib.Path(sys.argv[3]) if len(sys.argv) == 4 else
                pathlib.Path(__file__).resolve().parent.parent / "app" / "web" / "sw.js")
    if not folder.is_dir():
        sys.exit(f"publish_web_folder: {folder} is not a folder")
    if out.resolve() == folder.resolve():
        sys.exit("publish_web_folder: OUT must be another folder than FOLDER")
    publish(folder, out, template)


if __name__ == "__main__":
    main()
