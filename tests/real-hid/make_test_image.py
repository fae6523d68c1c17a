#!/usr/bin/env python3
"""Makes the image of the tests on a real HID stack: 97,808 deterministic,
near-uniform bytes, the size of the ORVANTO 3.0 image, beginning with the
marker below. It is neither the STAND-IN of the demo and the other tests
(so the product build embeds it, as it would the real image) nor firmware:
it is made in the build folder for these tests and never leaves it.

usage: make_test_image.py OUTPUT.bin
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from make_standin_image import SIZE, image_bytes  # noqa: E402

MARKER = b"REAL-HID TEST!!!"


def test_image_bytes(size=SIZE):
    return image_bytes(MARKER, b"ORVANTO real HID stack test image", size)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = pathlib.Path(sys.argv[1])
    path.parent.mkdir(parents=True, exist_ok=True)
    data = test_image_bytes()
    if not path.exists() or path.read_bytes() != data:
        path.write_bytes(data)


if __name__ == "__main__":
    main()
