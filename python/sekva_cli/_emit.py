"""Fetched regions as output text: batch fetches a chunk at a time, strand flips, line wrapping."""
import re
from itertools import compress, repeat
from operator import contains

# A chunk bounds the memory of the strings in flight and keeps each batch on the worker pool.
CHUNK = 8192

# samtools and bedtools complement the IUPAC codes (U as A) and leave every other byte alone.
COMPLEMENT = str.maketrans("ACGTUBDHKMRVYacgtubdhkmrvy", "TGCAAVHDMKYBRtgcaavhdmkybr")
COMPLEMENT_RNA = str.maketrans("ACGTUBDHKMRVYacgtubdhkmrvy", "UGCAAVHDMKYBRugcaavhdmkybr")


class RecordLengths(dict):
    """Record lengths by name, looked up on first use. A record without bases counts as absent
    (length 0): samtools leaves such records out of its index and bedtools skips them as missing."""

    def __init__(self, fasta):
        super().__init__()
        self.fasta = fasta

    def __missing__(self, name):
        length = len(self.fasta[name]) if name in self.fasta else 0
        self[name] = length
        return length


def reverse_complements(seqs, table):
    """Every text of `seqs` reverse-complemented with `table`, in one pass over all of them:
    fetched bases never hold a line break, so one can separate them."""
    if not seqs:
        return []
    flipped = "\n".join(seqs).translate(table)[::-1].split("\n")
    flipped.reverse()
    return flipped


def fetch_texts(fasta, regions):
    """The bases of each (name, first, last) region, or "" where the region is None."""
    if None not in regions:
        return list(map(str, fasta.fetch_many(regions)))
    fetched = iter(fasta.fetch_many([r for r in regions if r is not None]))
    return [str(next(fetched)) if r is not None else "" for r in regions]


def fetch_flipped(fasta, regions, table):
    """The reverse complements of the regions (None: ""), as samtools and bedtools make them.

    The engine flips a batch in place on its workers. Its table differs from theirs only where it
    writes N for a byte it does not know (they keep such a byte, and turn U into A), so only the
    texts holding an N are made again here, from their forward bases."""
    present = [r for r in regions if r is not None] if None in regions else regions
    texts = list(map(str, fasta.fetch_many(present, rc=True)))
    suspects = list(compress(range(len(texts)), map(contains, texts, repeat("N"))))
    if suspects:
        forward = list(map(str, fasta.fetch_many(list(map(present.__getitem__, suspects)))))
        for i, flipped in zip(suspects, reverse_complements(forward, table)):
            texts[i] = flipped
    if present is regions:
        return texts
    flipped = iter(texts)
    return [next(flipped) if r is not None else "" for r in regions]


def interleave(pattern, columns):
    """One text from a repeating pattern of literal strings and None slots, the k-th None slot
    of every repeat filled from columns[k]; the joining happens in C, not per record in Python."""
    count = len(columns[0])
    parts = list(pattern) * count
    slots = [i for i, p in enumerate(pattern) if p is None]
    for slot, column in zip(slots, columns):
        parts[slot :: len(pattern)] = column
    return "".join(parts)


_LINE_PIECES = {}


def wrapped_fasta(heads, seqs, width):
    """FASTA text of records: '>' + head, then the bases in lines of `width`; an empty sequence
    leaves the header alone on its line."""
    if heads and width > max(map(len, heads)) and "\n" not in "".join(heads):
        # Every header line fits in `width`, so cutting all lines at `width` cuts only bases.
        pieces = _LINE_PIECES.get(width)
        if pieces is None:
            pieces = _LINE_PIECES[width] = re.compile(".{1,%d}" % width)
        text = interleave((">", None, "\n", None, "\n"), (heads, seqs))
        return "\n".join(pieces.findall(text)) + "\n"
    lines = []
    for head, seq in zip(heads, seqs):
        lines.append(">" + head)
        lines.extend([seq[i : i + width] for i in range(0, len(seq), width)])
    return "\n".join(lines) + "\n" if lines else ""
