"""pATU's icon file as Windows reads it: one entry for each size the shell asks for, each of 32
bits, the 256-pixel one PNG-compressed; the device and its arrow legible at every size; and the
documentation's picture drawn from the same drawing."""

import os
import struct
import subprocess

from PIL import Image

SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
NAVY, YELLOW, PALE_YELLOW, WHITE = (0, 0, 128, 255), (255, 255, 0, 255), (255, 255, 204, 255), (255, 255, 255, 255)


def entries():
    """(width, height, bits, data) of every entry of the icon file, in its order."""
    with open(os.environ["PATU_ICO"], "rb") as f:
        file = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", file)
    assert (reserved, kind) == (0, 1), "an icon file"
    out = []
    for i in range(count):
        width, height, _, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", file, 6 + 16 * i)
        assert planes == 1
        assert offset + size <= len(file)
        out.append((width or 256, height or 256, bits, file[offset:offset + size]))
    return out


def test_every_size_windows_asks_for_in_32_bits_and_the_largest_as_png():
    found = entries()
    assert [(w, h) for w, h, _, _ in found] == [(s, s) for s in SIZES]
    for width, _, bits, data in found:
        assert bits == 32, width
        if width == 256:
            assert data[:8] == b"\x89PNG\r\n\x1a\n"
            assert len(data) < 20000, "the flat drawing packs small"
        else:
            header, w, h, _, depth = struct.unpack_from("<IiiHH", data)
            assert (header, w, h, depth) == (40, width, 2 * width, 32), "a bitmap with its mask"


def pixel(image, x16, y16):
    """The pixel at (x, y) given in sixteenths of the image."""
    return image.getpixel((int(x16 * image.width / 16), int(y16 * image.height / 16)))


def test_the_device_and_its_arrow_read_the_same_at_every_size():
    icon = Image.open(os.environ["PATU_ICO"])
    for size in SIZES:
        image = icon.ico.getimage((size, size)).convert("RGBA")
        assert image.size == (size, size)
        assert pixel(image, 3.1, 12.1) == NAVY, f"{size}: the device"
        assert pixel(image, 8.2, 2.2) == YELLOW, f"{size}: the arrow's shaft"
        assert pixel(image, 8, 6) == YELLOW, f"{size}: the arrow's head, inside the device"
        assert pixel(image, 8, 10) == PALE_YELLOW, f"{size}: the screen"
        assert pixel(image, 5.5, 13.5) == WHITE, f"{size}: a key"
        for corner in [(0, 0), (size - 1, 0), (0, size - 1)]:
            assert image.getpixel(corner)[3] == 0, f"{size}: transparent corner {corner}"
        partly = sum(1 for p in image.getdata() if 0 < p[3] < 255)
        assert partly > size / 2, f"{size}: smooth edges"


def test_the_documentation_shows_the_icon_as_drawn():
    drawn = subprocess.run([os.environ["PATU_RSVG_CONVERT"], "-w", "96", "-h", "96",
                            os.environ["PATU_ICON_SVG"]], check=True, capture_output=True).stdout
    with open(os.environ["PATU_DOCS_ICON"], "rb") as f:
        shown = f.read()
    assert shown == drawn, "redraw it: rsvg-convert -w 96 -h 96 -o docs/icon.png tools/icon/pATU.svg"
