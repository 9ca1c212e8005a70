#!/usr/bin/env python3
"""Writes the firmware image that ships inside Dotvane.

Usage: make_image.py <output-path>

The real display firmware is not ours to ship, so the build carries an
emulation image in its place: opaque bytes to the program, which only ever
reads the version block near the end and otherwise sends the image as it
stands.  The output is the same on every run (fixed PRNG seed, no dates),
so the embedded image and any test that compares against it are
reproducible.

Layout (49,904 bytes):

  offset   size    content
  0        128     header: readable ASCII text naming the image and its
                   build number, NUL-padded.  It deliberately holds decimal
                   digits, which the version search must ignore because
                   they lie before the marker.
  128      49,728  body: pseudo-random bytes (xorshift32, fixed seed), the
                   stand-in for the display processor's code.
  49,856   18      version block: "ORVANTA", six NUL bytes, "5.71", NUL.
  49,874   30      tail: 0xFF, as in erased flash.

"ORVANTA" occurs exactly once, at the version block; the script checks this
and patches any chance occurrence in the body.
"""

import pathlib
import sys

IMAGE_SIZE = 49_904
HEADER_SIZE = 128
BLOCK_OFFSET = IMAGE_SIZE - 48
MARKER = b"ORVANTA"
VERSION_BLOCK = MARKER + b"\0" * 6 + b"5.71" + b"\0"
HEADER_TEXT = (
    b"Orvanta display main firmware (emulation image)\n"
    b"build 2417, flash layout rev 3\n"
)
SEED = 0x5EED_2417


def xorshift32(state):
    """Yields an endless byte stream; four bytes per 32-bit step."""
    while True:
        state ^= (state << 13) & 0xFFFF_FFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFF_FFFF
        yield from state.to_bytes(4, "little")


def build_image():
    header = HEADER_TEXT.ljust(HEADER_SIZE, b"\0")
    assert len(header) == HEADER_SIZE

    stream = xorshift32(SEED)
    body = bytearray(next(stream) for _ in range(BLOCK_OFFSET - HEADER_SIZE))
    # A chance marker in the body would be taken for the version block.  The
    # lower-case "o" matches no byte of the marker, so the patch cannot form
    # a new occurrence.
    while (hit := body.find(MARKER)) != -1:
        body[hit] = ord("o")

    tail = b"\xff" * (IMAGE_SIZE - BLOCK_OFFSET - len(VERSION_BLOCK))
    image = header + bytes(body) + VERSION_BLOCK + tail

    assert len(image) == IMAGE_SIZE
    assert image.find(MARKER) == BLOCK_OFFSET
    assert image.count(MARKER) == 1
    assert any(c in b"0123456789" for c in header)
    return image


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_image.py <output-path>\n")
        return 2
    output = pathlib.Path(argv[1])
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_bytes(build_image())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
