#!/usr/bin/python3
"""Generates the eight built-in bitmap fonts (RAWFONT resources) from the X11 bitmap fonts that
Debian ships in xfonts-base, and draws sheets of them for review.

    fontgen.py generate [--fonts DIR] [--out DIR]     writes rawfont_<resource>.bin
    fontgen.py sheets [--resources DIR] [--out DIR]   draws every font's banks and sample text

A RAWFONT resource is a six-byte header (0, cell width, twice the cell height, 0, bits per pixel,
nominal size) and one zlib stream of a strip of 256 glyphs side by side: the first cell-height rows
are the normal glyphs, the next ones the DEC special graphics bank. Pixels are packed from the
least significant bit of each byte; with two bits per pixel 0 is background, 3 foreground, and 1
and 2 are the shades one and two thirds of the way to the foreground.

Output depends only on the source fonts: the same sources give the same bitmaps byte for byte.
"""

import argparse
import os
import sys
import zlib

# The tests run the generator from the source tree, which must stay clean.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pcf import PcfFont  # noqa: E402
import png  # noqa: E402

DEFAULT_FONT_DIR = "/usr/share/fonts/X11/misc"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_OUT = os.path.join(REPO, "resources", "fonts")

# The DEC special graphics set at 0x5F-0x7E, as Unicode code points.
SPECIAL_GRAPHICS = [
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0,  # _ ` a b c d e f
    0x00B1, 0x2424, 0x240B, 0x2518, 0x2510, 0x250C, 0x2514, 0x253C,  # g h i j k l m n
    0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534,  # o p q r s t u v
    0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,  # w x y z { | } ~
]
FIRST_GRAPHIC = 0x5F

# Line-drawing glyphs the tool draws itself so that their lines run to the cell edges and frames
# join: code -> (up, down, left, right) arms through the centre.
BOX_ARMS = {
    0x6A: (1, 0, 1, 0),  # j: lower right corner
    0x6B: (0, 1, 1, 0),  # k: upper right corner
    0x6C: (0, 1, 0, 1),  # l: upper left corner
    0x6D: (1, 0, 0, 1),  # m: lower left corner
    0x6E: (1, 1, 1, 1),  # n: crossing lines
    0x71: (0, 0, 1, 1),  # q: horizontal line (scan line 5)
    0x74: (1, 1, 0, 1),  # t: left tee
    0x75: (1, 1, 1, 0),  # u: right tee
    0x76: (1, 0, 1, 1),  # v: bottom tee
    0x77: (0, 1, 1, 1),  # w: top tee
    0x78: (1, 1, 0, 0),  # x: vertical line
}
# Horizontal scan lines 1, 3, 7 and 9 (5 is the horizontal line of the box set).
SCAN_LINES = {0x6F: 1, 0x70: 3, 0x72: 7, 0x73: 9}
CHECKERBOARD = 0x61

FULL = 3  # the foreground value of a two-bit pixel


def foreground(bpp):
    return 1 if bpp == 1 else FULL


# Cells: a list of rows, each a list of pixel values (0/1 for one bit, 0-3 for two bits).


def blank(width, height):
    return [[0] * width for _ in range(height)]


def place(cell, width, height, dx=0, dy=0):
    """Puts a cell into a larger (or smaller) one at (dx, dy), cropping what falls outside."""
    out = blank(width, height)
    for y, row in enumerate(cell):
        ty = y + dy
        if 0 <= ty < height:
            for x, v in enumerate(row):
                tx = x + dx
                if 0 <= tx < width:
                    out[ty][tx] = v
    return out


def drop_rows(cell, count, keep_below):
    """Removes `count` rows from a glyph while keeping the bottom `keep_below` rows (baseline and
    descenders) in place. For each row, in this order: a blank top row; else the first row that
    equals the row under it (a repeated row of a vertical stroke carries no shape of its own);
    else a blank row between inked ones (the gap under an accent); else the top row."""
    rows = [list(r) for r in cell]
    for _ in range(count):
        limit = len(rows) - keep_below
        if not any(rows[0]):
            del rows[0]
            continue
        repeated = [y for y in range(limit - 1) if rows[y] == rows[y + 1]]
        gaps = [y for y in range(1, limit) if not any(rows[y])]
        del rows[(repeated or gaps or [0])[0]]
    return rows


# The recipes ------------------------------------------------------------------------------------


class Recipe:
    """How one built-in font is made: its cell, its source font and the transformation of each
    glyph from the source cell into the target cell."""

    def __init__(self, resource, font_size, width, height, bpp, nominal, source, method, transform):
        self.resource = resource
        self.font_size = font_size
        self.width = width
        self.height = height
        self.bpp = bpp
        self.nominal = nominal
        self.source = source
        self.method = method
        self.transform = transform


def full_foreground(cell):
    """One-bit pixels as two-bit values: every set pixel full foreground."""
    return [[v * FULL for v in row] for row in cell]


def fit(width, height, dx=0, dy=0, drop=0, two_bit=False):
    """The source glyph with `drop` rows taken out (see drop_rows), placed at (dx, dy) in the
    target cell; for a two-bit font every set pixel is full foreground."""

    def run(cell, font):
        out = place(drop_rows(cell, drop, font.descent), width, height, dx, dy)
        return full_foreground(out) if two_bit else out

    return run


def three_columns(height, dy):
    """A 4-pixel-wide source into 3 columns. Its letters are 3 pixels wide with a blank fourth
    column, so the inked columns are kept as they are; only the right one is painted at the
    two-thirds shade, which keeps neighbouring letters apart where no blank column fits. A glyph
    that needs the fourth column is shifted left when its first column is blank, else its fourth
    column is lost."""

    def run(cell, font):
        rows = cell
        if any(r[3] for r in rows) and not any(r[0] for r in rows):
            rows = [r[1:] for r in rows]
        rows = place(rows, 3, height, 0, dy)
        return [[v * (FULL if x < 2 else 2) for x, v in enumerate(r)] for r in rows]

    return run


# Every source is a misc-fixed face of xfonts-base (public domain). The methods are described in
# resources/fonts/SOURCES.md.
RECIPES = [
    Recipe(144, 4, 3, 7, 2, 4, "4x6.pcf.gz",
           "three inked columns, the right one shaded; one row down",
           three_columns(7, 1)),
    Recipe(143, 5, 3, 8, 2, 5, "4x6.pcf.gz",
           "three inked columns, the right one shaded; one row down",
           three_columns(8, 1)),
    Recipe(140, 6, 4, 8, 2, 6, "4x6.pcf.gz", "as it is, one row down",
           fit(4, 8, dy=1, two_bit=True)),
    Recipe(142, 7, 5, 7, 2, 7, "5x7.pcf.gz", "as it is", fit(5, 7, two_bit=True)),
    Recipe(141, 8, 5, 8, 2, 8, "5x8.pcf.gz", "as it is", fit(5, 8, two_bit=True)),
    Recipe(151, 12, 9, 12, 1, 12, "8x13.pcf.gz", "one row dropped", fit(9, 12, drop=1)),
    Recipe(152, 24, 12, 16, 2, 24, "10x20.pcf.gz", "four rows dropped, one column in",
           fit(12, 16, dx=1, drop=4, two_bit=True)),
    Recipe(113, 9, 6, 8, 1, 9, "6x9.pcf.gz", "one row dropped", fit(6, 8, drop=1)),
]


# Building the glyphs ----------------------------------------------------------------------------


def scan_row(height, scan):
    """The pixel row of scan line 1 (top) to 9 (bottom)."""
    return ((scan - 1) * (height - 1) + 4) // 8


def draw_box(width, height, arms, value):
    """One-pixel lines from the centre to each edge named in arms (up, down, left, right)."""
    up, down, left, right = arms
    cx = (width - 1) // 2
    cy = scan_row(height, 5)
    cell = blank(width, height)
    xs = range(0 if left else cx, width if right else cx + 1)
    ys = range(0 if up else cy, height if down else cy + 1)
    for x in xs:
        cell[cy][x] = value
    for y in ys:
        cell[y][cx] = value
    return cell


def draw_scan(width, height, scan, value):
    cell = blank(width, height)
    cell[scan_row(height, scan)] = [value] * width
    return cell


def draw_checkerboard(width, height, bpp):
    """Alternate pixels, so that the pattern runs on from cell to cell. A cell of odd width
    cannot continue its neighbour's pattern (the seam shows as a stripe every cell), so a
    two-bit font of odd width fills the cell with the two-thirds shade instead, which is about
    as bright as the fine pattern looks. A one-bit font has no such shade and keeps the
    pattern."""
    if bpp == 2 and width % 2:
        return [[2] * width for _ in range(height)]
    full = foreground(bpp)
    return [[full if (x + y) % 2 == 0 else 0 for x in range(width)] for y in range(height)]


def source_code(code):
    """The Unicode code point a byte of the normal bank shows, or None for a blank cell."""
    if code < 0x20 or 0x7F <= code < 0xA0:
        return None
    return code


def build_glyphs(recipe, font):
    """Returns the two banks: lists of 256 cells of recipe.width x recipe.height."""
    full = foreground(recipe.bpp)
    empty = blank(recipe.width, recipe.height)

    def from_source(unicode):
        if unicode is None:
            return empty
        cell = font.cell(unicode)
        if cell is None:
            return empty
        out = recipe.transform(cell, font)
        assert len(out) == recipe.height and all(len(r) == recipe.width for r in out)
        return out

    normal = [from_source(source_code(c)) for c in range(256)]
    graphics = list(normal)
    for i, unicode in enumerate(SPECIAL_GRAPHICS):
        code = FIRST_GRAPHIC + i
        if code in BOX_ARMS:
            graphics[code] = draw_box(recipe.width, recipe.height, BOX_ARMS[code], full)
        elif code in SCAN_LINES:
            graphics[code] = draw_scan(recipe.width, recipe.height, SCAN_LINES[code], full)
        elif code == CHECKERBOARD:
            graphics[code] = draw_checkerboard(recipe.width, recipe.height, recipe.bpp)
        elif unicode == 0x00A0:
            graphics[code] = empty
        else:
            graphics[code] = from_source(unicode)
    return normal, graphics


def pack(recipe, banks):
    """Packs the two banks into the strip: bit index ((bank * height + y) * 256 * width +
    code * width + x) * bpp, least significant bit first."""
    w, h, bpp = recipe.width, recipe.height, recipe.bpp
    bits_per_row = 256 * w * bpp
    out = bytearray(2 * h * bits_per_row // 8)
    for b, bank in enumerate(banks):
        for code, cell in enumerate(bank):
            for y, row in enumerate(cell):
                base = (b * h + y) * bits_per_row + code * w * bpp
                for x, v in enumerate(row):
                    if v:
                        bit = base + x * bpp
                        out[bit >> 3] |= v << (bit & 7)
    return bytes(out)


def unpack(width, height, bpp, bitmap):
    """The two banks of a strip as lists of 256 cells (inverse of pack)."""
    bits_per_row = 256 * width * bpp
    mask = (1 << bpp) - 1
    banks = []
    for b in range(2):
        bank = []
        for code in range(256):
            cell = []
            for y in range(height):
                base = (b * height + y) * bits_per_row + code * width * bpp
                row = []
                for x in range(width):
                    bit = base + x * bpp
                    row.append((bitmap[bit >> 3] >> (bit & 7)) & mask)
                cell.append(row)
            bank.append(cell)
        banks.append(bank)
    return banks


def resource_bytes(recipe, bitmap):
    header = bytes([0, recipe.width, 2 * recipe.height, 0, recipe.bpp, recipe.nominal])
    return header + zlib.compress(bitmap, 9)


def read_resource(path):
    """(width, height, bpp, nominal, bitmap) of a RAWFONT file."""
    with open(path, "rb") as f:
        data = f.read()
    width, strip, bpp, nominal = data[1], data[2], data[4], data[5]
    return width, strip // 2, bpp, nominal, zlib.decompress(data[6:])


def generate(font_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    fonts = {}
    for recipe in RECIPES:
        path = os.path.join(font_dir, recipe.source)
        if path not in fonts:
            fonts[path] = PcfFont(path)
        banks = build_glyphs(recipe, fonts[path])
        data = resource_bytes(recipe, pack(recipe, banks))
        target = os.path.join(out_dir, "rawfont_%d.bin" % recipe.resource)
        with open(target, "wb") as f:
            f.write(data)
        print("%s (FontSize %d): %dx%d, %d bit, size %d, from %s: %s" % (
            os.path.basename(target), recipe.font_size, recipe.width, recipe.height, recipe.bpp,
            recipe.nominal, recipe.source, recipe.method))


# Review sheets ----------------------------------------------------------------------------------

BACKGROUND = (0, 0, 0)
FOREGROUND = (255, 255, 255)


def shade(value, bpp, fg=FOREGROUND, bg=BACKGROUND):
    top = (1 << bpp) - 1
    return tuple(b + (f - b) * value // top for f, b in zip(fg, bg))


def render_text(banks, width, height, bpp, lines, scale):
    """Draws lines of (text, graphics) runs: each line a list of (string, bank) pairs."""
    columns = max(sum(len(t) for t, _ in line) for line in lines)
    image = [[BACKGROUND] * (columns * width) for _ in range(len(lines) * height)]
    for row, line in enumerate(lines):
        col = 0
        for text, bank in line:
            for ch in text:
                cell = banks[bank][ord(ch) & 0xFF]
                for y in range(height):
                    for x in range(width):
                        image[row * height + y][col * width + x] = shade(cell[y][x], bpp)
                col += 1
    return [[p for p in r for _ in range(scale)] for r in image for _ in range(scale)]


def _boxed(text):
    return [("x", 1), (text, 0), ("x", 1)]


# A frame drawn with the graphics set around a few lines of text: the corners, tees and lines must
# join, and the text shows the shapes side by side.
SAMPLE = [
    [("l" + "q" * 19 + "w" + "q" * 19 + "k", 1)],
    _boxed(" $ ls -l /etc/motd; echo 'ok' {42} %&  "),
    _boxed(" The quick brown fox jumps over the    "),
    _boxed(" lazy dog. 0123456789 ()[]<>=+-_ ~@^#  "),
    [("t" + "q" * 19 + "n" + "q" * 19 + "u", 1)],
    [("x", 1), (" caf\xe9 na\xefve se\xf1or  ", 0), ("x", 1), (" ", 0), ("`afgyz{|}~", 1),
     (" \xa3\xb5\xdf\xe6\xbd\xbf ", 0), ("x", 1)],
    [("m" + "q" * 19 + "v" + "q" * 19 + "j", 1)],
    [("opqrs", 1), (" scan 1 3 5 7 9  ", 0), ("aaaa", 1), ("  ", 0), ("bcdehi", 1)],
]


def sheets(resource_dir, out_dir, scale):
    os.makedirs(out_dir, exist_ok=True)
    for recipe in RECIPES:
        path = os.path.join(resource_dir, "rawfont_%d.bin" % recipe.resource)
        width, height, bpp, _, bitmap = read_resource(path)
        banks = unpack(width, height, bpp, bitmap)
        # Both banks as 8 rows of 32 codes, then the sample text.
        lines = []
        for bank in (0, 1):
            for r in range(8):
                lines.append([("".join(chr(r * 32 + c) for c in range(32)), bank)])
        lines.append([(" ", 0)])
        lines.extend(SAMPLE)
        image = render_text(banks, width, height, bpp, lines, scale)
        target = os.path.join(out_dir, "font_%d_%dx%d.png" % (recipe.resource, width, height))
        png.write_rgb(target, image)
        print(target)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    gen = sub.add_parser("generate", help="write the RAWFONT resources")
    gen.add_argument("--fonts", default=DEFAULT_FONT_DIR, help="folder of the source PCF fonts")
    gen.add_argument("--out", default=DEFAULT_OUT, help="folder for rawfont_<resource>.bin")
    sh = sub.add_parser("sheets", help="draw review sheets of the resources as PNG")
    sh.add_argument("--resources", default=DEFAULT_OUT)
    sh.add_argument("--out", default=os.path.join(REPO, "docs", "fonts"))
    sh.add_argument("--scale", type=int, default=2)
    args = parser.parse_args(argv)
    if args.command == "generate":
        generate(args.fonts, args.out)
    else:
        sheets(args.resources, args.out, args.scale)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
