"""A reader for the Portable Compiled Format of X11 bitmap fonts (optionally gzip-compressed).

Only what a character-cell font needs is read: the properties, the font ascent and descent, the
per-glyph metrics, the glyph bitmaps and the encoding table. Every offset and count is checked
against the file size, so a damaged file raises PcfError instead of reading garbage.
"""

import gzip
import struct

# Table types in the table of contents.
PCF_PROPERTIES = 1 << 0
PCF_ACCELERATORS = 1 << 1
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8

# Bits of a table's format word.
PCF_GLYPH_PAD_MASK = 3
PCF_BYTE_MASK = 1 << 2  # integers (and bitmap scan units) most significant byte first
PCF_BIT_MASK = 1 << 3  # bitmap bytes most significant bit first
PCF_SCAN_UNIT_MASK = 3 << 4
PCF_COMPRESSED_METRICS = 0x100
PCF_FORMAT_MASK = 0xFFFFFF00

NO_GLYPH = 0xFFFF


class PcfError(Exception):
    pass


class Glyph:
    """One glyph: its metrics and its ink as rows of 0/1 values, width = right - left bearing."""

    __slots__ = ("left", "right", "advance", "ascent", "descent", "rows")

    def __init__(self, left, right, advance, ascent, descent):
        self.left = left
        self.right = right
        self.advance = advance
        self.ascent = ascent
        self.descent = descent
        self.rows = []

    @property
    def width(self):
        return max(0, self.right - self.left)

    @property
    def height(self):
        return max(0, self.ascent + self.descent)


class PcfFont:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        self.path = path
        self._data = data
        self.properties = {}
        self.ascent = 0
        self.descent = 0
        self.glyphs = []
        self._encoding = {}
        self._default_char = None
        self._parse()
        del self._data

    # Reading helpers -------------------------------------------------------------------------

    def _need(self, offset, size):
        if offset < 0 or size < 0 or offset + size > len(self._data):
            raise PcfError("%s: table data runs past the end of the file" % self.path)

    def _int(self, offset, size, fmt, signed=True):
        self._need(offset, size)
        order = ">" if fmt & PCF_BYTE_MASK else "<"
        code = {1: "b", 2: "h", 4: "i"}[size]
        if not signed:
            code = code.upper()
        return struct.unpack_from(order + code, self._data, offset)[0]

    def _table_format(self, offset):
        # The format word at the start of every table is always least significant byte first.
        self._need(offset, 4)
        return struct.unpack_from("<I", self._data, offset)[0]

    # Parsing -------------------------------------------------------------------------------------

    def _parse(self):
        if self._data[:4] != b"\x01fcp":
            raise PcfError("%s: not a PCF font" % self.path)
        self._need(4, 4)
        count = struct.unpack_from("<I", self._data, 4)[0]
        if count > 64:
            raise PcfError("%s: implausible table count %d" % (self.path, count))
        self._need(8, count * 16)
        tables = {}
        for i in range(count):
            # Sizes in the table of contents may include padding past the end of the file, so
            # only the offset is taken; every read below is checked on its own.
            kind, _fmt, _size, offset = struct.unpack_from("<IIII", self._data, 8 + i * 16)
            self._need(offset, 4)
            tables[kind] = offset
        for needed in (PCF_METRICS, PCF_BITMAPS, PCF_BDF_ENCODINGS):
            if needed not in tables:
                raise PcfError("%s: table %d missing" % (self.path, needed))
        if PCF_PROPERTIES in tables:
            self._read_properties(tables[PCF_PROPERTIES])
        accel = tables.get(PCF_BDF_ACCELERATORS, tables.get(PCF_ACCELERATORS))
        if accel is None:
            raise PcfError("%s: no accelerator table" % self.path)
        self._read_accelerators(accel)
        self._read_metrics(tables[PCF_METRICS])
        self._read_bitmaps(tables[PCF_BITMAPS])
        self._read_encodings(tables[PCF_BDF_ENCODINGS])

    def _read_properties(self, offset):
        fmt = self._table_format(offset)
        count = self._int(offset + 4, 4, fmt)
        if count < 0 or count > 4096:
            raise PcfError("%s: implausible property count" % self.path)
        entries = offset + 8
        strings_size_at = entries + count * 9
        if count & 3:
            strings_size_at += 4 - (count & 3)
        strings_size = self._int(strings_size_at, 4, fmt)
        strings = strings_size_at + 4
        self._need(strings, strings_size)

        def text(at):
            if at < 0 or at >= strings_size:
                raise PcfError("%s: property string outside its table" % self.path)
            end = self._data.index(b"\0", strings + at, strings + strings_size)
            return self._data[strings + at : end].decode("latin-1")

        for i in range(count):
            at = entries + i * 9
            name = text(self._int(at, 4, fmt))
            is_string = self._int(at + 4, 1, fmt)
            value = self._int(at + 5, 4, fmt)
            self.properties[name] = text(value) if is_string else value

    def _read_accelerators(self, offset):
        fmt = self._table_format(offset)
        # Eight one-byte flags come before the ascent and descent.
        self.ascent = self._int(offset + 12, 4, fmt)
        self.descent = self._int(offset + 16, 4, fmt)

    def _read_metrics(self, offset):
        fmt = self._table_format(offset)
        if fmt & PCF_COMPRESSED_METRICS:
            count = self._int(offset + 4, 2, fmt, signed=False)
            at = offset + 6
            self._need(at, count * 5)
            for i in range(count):
                b = self._data[at + i * 5 : at + i * 5 + 5]
                self.glyphs.append(Glyph(*(v - 0x80 for v in b)))
        else:
            count = self._int(offset + 4, 4, fmt)
            if count < 0:
                raise PcfError("%s: negative glyph count" % self.path)
            at = offset + 8
            self._need(at, count * 12)
            for i in range(count):
                values = [self._int(at + i * 12 + k * 2, 2, fmt) for k in range(5)]
                self.glyphs.append(Glyph(*values))

    def _read_bitmaps(self, offset):
        fmt = self._table_format(offset)
        count = self._int(offset + 4, 4, fmt)
        if count != len(self.glyphs):
            raise PcfError("%s: %d bitmaps for %d glyphs" % (self.path, count, len(self.glyphs)))
        offsets_at = offset + 8
        sizes_at = offsets_at + count * 4
        pad_index = fmt & PCF_GLYPH_PAD_MASK
        total = self._int(sizes_at + pad_index * 4, 4, fmt)
        base = sizes_at + 16
        self._need(base, total)
        pad = 1 << pad_index
        unit = 1 << ((fmt & PCF_SCAN_UNIT_MASK) >> 4)
        msb_bit = bool(fmt & PCF_BIT_MASK)
        # When bytes and bits are in different orders, each scan unit must be reversed first.
        swap = unit > 1 and bool(fmt & PCF_BYTE_MASK) != msb_bit
        for i, glyph in enumerate(self.glyphs):
            start = self._int(offsets_at + i * 4, 4, fmt)
            stride = ((glyph.width + 7) // 8 + pad - 1) // pad * pad
            size = stride * glyph.height
            if start < 0 or start + size > total:
                raise PcfError("%s: glyph %d bitmap outside its table" % (self.path, i))
            raw = bytearray(self._data[base + start : base + start + size])
            if swap:
                for u in range(0, len(raw), unit):
                    raw[u : u + unit] = raw[u : u + unit][::-1]
            for y in range(glyph.height):
                row = raw[y * stride : (y + 1) * stride]
                bits = []
                for x in range(glyph.width):
                    byte = row[x >> 3]
                    shift = 7 - (x & 7) if msb_bit else (x & 7)
                    bits.append((byte >> shift) & 1)
                glyph.rows.append(bits)

    def _read_encodings(self, offset):
        fmt = self._table_format(offset)
        min2 = self._int(offset + 4, 2, fmt)
        max2 = self._int(offset + 6, 2, fmt)
        min1 = self._int(offset + 8, 2, fmt)
        max1 = self._int(offset + 10, 2, fmt)
        default = self._int(offset + 12, 2, fmt, signed=False)
        if not (0 <= min2 <= max2 <= 255 and 0 <= min1 <= max1 <= 255):
            raise PcfError("%s: bad encoding ranges" % self.path)
        columns = max2 - min2 + 1
        at = offset + 14
        self._need(at, columns * (max1 - min1 + 1) * 2)
        for b1 in range(min1, max1 + 1):
            for b2 in range(min2, max2 + 1):
                index = self._int(at, 2, fmt, signed=False)
                at += 2
                if index != NO_GLYPH and index < len(self.glyphs):
                    self._encoding[(b1 << 8) | b2] = index
        if default in self._encoding:
            self._default_char = default

    # Queries -------------------------------------------------------------------------------------

    @property
    def registry(self):
        return "%s-%s" % (
            self.properties.get("CHARSET_REGISTRY", "?"),
            self.properties.get("CHARSET_ENCODING", "?"),
        )

    @property
    def cell_width(self):
        return max(g.advance for g in self.glyphs)

    @property
    def cell_height(self):
        return self.ascent + self.descent

    def glyph(self, code):
        """The glyph for an encoding value (a Unicode code point in an ISO 10646 font), or None."""
        index = self._encoding.get(code)
        return None if index is None else self.glyphs[index]

    def cell(self, code):
        """The glyph drawn into the font's own cell (cell_width x cell_height) as rows of 0/1,
        or None when the font has no glyph for the code."""
        glyph = self.glyph(code)
        if glyph is None:
            return None
        width, height = self.cell_width, self.cell_height
        rows = [[0] * width for _ in range(height)]
        top = self.ascent - glyph.ascent
        for y, bits in enumerate(glyph.rows):
            cy = top + y
            if not 0 <= cy < height:
                continue
            for x, bit in enumerate(bits):
                cx = glyph.left + x
                if bit and 0 <= cx < width:
                    rows[cy][cx] = 1
        return rows
