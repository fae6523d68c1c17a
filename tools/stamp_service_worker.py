#!/usr/bin/env python3
"""Writes FOLDER/sw.js, the page's service worker, from the template
app/web/sw.js: its VERSION becomes a digest of every file of the folder (and
of the template), its FILES the folder's files to keep in the cache,
relative to the folder, sw.js and release.json left out, each with the
SHA-256 digest of its content: the worker checks every file it fetches
against it.

Writes FOLDER/release.json too, what a page left open asks the server for
to learn of a new release: {"version": VERSION, "files": [the same files]},
JSON as the page reads it, however a host rewrites scripts. The worker
does not keep it (it is not in FILES): the page always reads the server's.

Run it as the last step of making a folder: a file added or changed after it
would be missing from the cache or served in an old version. The digest
depends only on the files' names and contents, so an unchanged folder keeps
its sw.js byte for byte (and the browser keeps its cache).

usage: stamp_service_worker.py FOLDER [TEMPLATE]
"""
import hashlib
import json
import pathlib
import re
import sys

# Written here, never listed in FILES: the worker, and the release file that
# pages ask for anew every time.
WORKER = "sw.js"
RELEASE = "release.json"

# Names that stand for themselves in a URL: no escaping needed, no ambiguity
# between the file's name and its address.
PLAIN_NAME = re.compile(r"^[A-Za-z0-9._-]+(/[A-Za-z0-9._-]+)*$")


def folder_files(folder):
    files = []
    for path in sorted(folder.rglob("*")):
        if not path.is_file():
            continue
        relative = path.relative_to(folder).as_posix()
        if relative in (WORKER, RELEASE) or any(part.startswith(".") for part in relative.split("/")):
            continue
        if not PLAIN_NAME.match(relative):
            sys.exit(f"stamp_service_worker: {folder / relative}: a name to be served as it is "
                     "may hold only letters, digits, '.', '_' and '-'")
        files.append(relative)
    return files


def file_digests(folder, files):
    return {relative: hashlib.sha256((folder / relative).read_bytes()).hexdigest()
            for relative in files}


def digest(digests, template_text):
    total = hashlib.sha256()
    total.update(template_text.encode("utf-8"))
    for relative, file_digest in digests.items():
        total.update(b"\0" + relative.encode("utf-8") + b"\0")
        total.update(bytes.fromhex(file_digest))
    return total.hexdigest()[:20]


def stamp(template_text, version, digests):
    version_token = '"@VERSION@"'
    files_token = '{"@FILES@": ""}'
    for token in (version_token, files_token):
        if template_text.count(token) != 1:
            sys.exit(f"stamp_service_worker: the template must hold {token} exactly once")
    listing = "{\n" + "".join(f"  {json.dumps(name)}: {json.dumps(value)},\n"
                              for name, value in digests.items()) + "}"
    text = template_text.replace(version_token, json.dumps(version))
    return text.replace(files_token, listing)


def release_text(version, digests):
    return json.dumps({"version": version, "files": list(digests)}, indent=1) + "\n"


def write_if_changed(target, text):
    if not target.exists() or target.read_text(encoding="utf-8") != text:
        target.write_text(text, encoding="utf-8")


def stamp_folder(folder, template):
    template_text = template.read_text(encoding="utf-8")
    files = folder_files(folder)
    if "index.html" not in files:
        sys.exit(f"stamp_service_worker: {folder} has no index.html")
    digests = file_digests(folder, files)
    version = digest(digests, template_text)
    write_if_changed(folder / RELEASE, release_text(version, digests))
    write_if_changed(folder / WORKER, stamp(template_text, version, digests))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: stamp_service_worker.py FOLDER [TEMPLATE]")
    folder = pathlib.Path(sys.argv[1])
    template = (pathlib.Path(sys.argv[2]) if len(sys.argv) == 3 else
                pathlib.Path(__file__).resolve().parent.parent / "app" / "web" / "sw.js")
    if not folder.is_dir():
        sys.exit(f"stamp_service_worker: {folder} is not a folder")
    stamp_folder(folder, template)


if __name__ == "__main__":
    main()
