#!/usr/bin/env python3
"""Writes a firmware image file as C++ data for the browser build: the bytes
as FIRMWARE_IMAGE and their SHA-256 digest as FIRMWARE_IMAGE_DIGEST, both
computed from the one file, so that the program carries exactly that file
and the digest recorded when it was embedded.

usage: embed_image.py IMAGE OUTPUT.inc
"""
import hashlib
import pathlib
import sys


def array(name, data):
    lines = [f"const std::uint8_t {name}[] = {{"]
    for start in range(0, len(data), 16):
        lines.append("    " + ", ".join(f"0x{byte:02x}" for byte in data[start:start + 16]) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    image = pathlib.Path(sys.argv[1])
    output = pathlib.Path(sys.argv[2])
    data = image.read_bytes()
    if not data:
        sys.exit(f"embed_image: {image} is empty")
    content = (f"// Made by app/web/embed_image.py from {image.name}; do not edit.\n"
               + array("FIRMWARE_IMAGE", data)
               + array("FIRMWARE_IMAGE_DIGEST", hashlib.sha256(data).digest()))
    output.parent.mkdir(parents=True, exist_ok=True)
    if not output.exists() or output.read_text(encoding="ascii") != content:
        output.write_text(content, encoding="ascii")


if __name__ == "__main__":
    main()
