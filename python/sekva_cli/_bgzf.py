"""BGZF output for `sekva faidx -o out.fa.gz`: gzip members of at most 64 KiB, each with its `BC`
field, then the end-of-file block, so that bgzip, samtools and sekva read the file with random access."""
import struct
import zlib

from sekva_cli import write_all

# htslib fills each block with this much text; so do we, so the block table looks like bgzip's.
BLOCK_TEXT = 0xFF00
_MAX_BLOCK = 0x10000  # a block fits the 16-bit BSIZE field (which holds size - 1), and so does its text
# samtools faidx compresses its output at level 4 unless told otherwise.
LEVEL = 4
_HEADER = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
EOF_BLOCK = _HEADER + b"\x1b\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00"


def block(text, level=LEVEL):
    """One BGZF block holding `text`, or None when the text or the block would not fit in 64 KiB
    (readers inflate a block into a buffer of that size)."""
    if len(text) > _MAX_BLOCK:
        return None
    deflater = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = deflater.compress(text) + deflater.flush()
    size = len(_HEADER) + 2 + len(body) + 8
    if size > _MAX_BLOCK:
        return None
    return b"".join((_HEADER, struct.pack("<H", size - 1), body, struct.pack("<II", zlib.crc32(text), len(text))))


class Writer:
    """A binary stream that writes BGZF to `raw`, a block per BLOCK_TEXT bytes of text; close()
    writes the last block and the end-of-file block (it leaves `raw` open)."""

    def __init__(self, raw, level=LEVEL):
        self.raw = raw
        self.level = level
        self.pending = bytearray()
        self.compressed = 0  # bytes written to raw
        self.plain = 0  # text bytes in the blocks written
        self.starts = []  # (compressed, plain) offset of each block after the first

    def write(self, data):
        # Whole blocks go straight from the caller's bytes; only a partial block is copied.
        view = memoryview(data)
        if self.pending:
            take = BLOCK_TEXT - len(self.pending)
            self.pending += view[:take]
            view = view[take:]
            if len(self.pending) < BLOCK_TEXT:
                return len(data)
            self._put(bytes(self.pending))
            self.pending.clear()
        while len(view) >= BLOCK_TEXT:
            self._put(view[:BLOCK_TEXT])
            view = view[BLOCK_TEXT:]
        self.pending += view
        return len(data)

    def _put(self, text):
        data = block(text, self.level)
        if data is None:  # too much text, or text that does not compress: in two blocks
            half = len(text) // 2
            self._put(text[:half])
            self._put(text[half:])
            return
        if self.compressed:
            self.starts.append((self.compressed, self.plain))
        write_all(self.raw, data)
        self.compressed += len(data)
        self.plain += len(text)

    def close(self):
        if self.pending:
            self._put(bytes(self.pending))
            self.pending.clear()
        write_all(self.raw, EOF_BLOCK)
        self.compressed += len(EOF_BLOCK)

    def gzi(self):
        """The block index of what was written, in the .gzi layout bgzip and samtools write: the
        count, then the compressed and uncompressed offset of each block after the first, all
        64-bit little-endian."""
        return struct.pack(f"<Q{2 * len(self.starts)}Q", len(self.starts), *(n for pair in self.starts for n in pair))
