#!/usr/bin/env python3
"""Makes the STAND-IN firmware image for the tests and the demo build.

The real ORVANTO 3.0 image is product data that this project does not have.
The stand-in has its size, 97,808 bytes (2,037 blocks of 48 bytes and one of
32), and looks like an enciphered image: near-uniform bytes, the same on
every run. It is NOT firmware and must never reach a real ESC: it begins with
the 16-byte marker below, by which the product build refuses it.

usage: make_standin_image.py OUTPUT.bin
"""
import hashlib
import pathlib
import sys

MARKER = b"STAND-IN NOT FW!"
SIZE = 97_808


def image_bytes(marker, seed, size=SIZE):
    """`size` near-uniform bytes that begin with `marker`, the same for the
    same `seed` on every run."""
    out = bytearray(marker)
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(seed + b" %d" % counter).digest()
        counter += 1
    return bytes(out[:size])


def standin_bytes(size=SIZE):
    return image_bytes(MARKER, b"ORVANTO stand-in image", size)


def write_if_changed(path, data):
    if not path.exists() or path.read_bytes() != data:
        path.write_bytes(data)


def main():
    data = standin_bytes()
    binary = pathlib.Path(sys.argv[1])
    binary.parent.mkdir(parents=True, exist_ok=True)
    write_if_changed(binary, data)


if __name__ == "__main__":
    main()
