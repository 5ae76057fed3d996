"""Fetched regions as output text: record text from the engine a chunk at a time, and the pieces
its heads are made of."""

# A chunk bounds the memory of the strings in flight and keeps each batch on the worker pool.
CHUNK = 8192

# samtools and bedtools complement the IUPAC codes (U as A) and leave every other byte alone.
COMPLEMENT = str.maketrans("ACGTUBDHKMRVYacgtubdhkmrvy", "TGCAAVHDMKYBRtgcaavhdmkybr")
COMPLEMENT_RNA = str.maketrans("ACGTUBDHKMRVYacgtubdhkmrvy", "UGCAAVHDMKYBRugcaavhdmkybr")
# The same as the 256-byte tables the engine's fetch_fasta takes.
TABLE = bytes(range(256)).translate(bytes.maketrans(b"ACGTUBDHKMRVYacgtubdhkmrvy", b"TGCAAVHDMKYBRtgcaavhdmkybr"))
TABLE_RNA = bytes(range(256)).translate(bytes.maketrans(b"ACGTUBDHKMRVYacgtubdhkmrvy", b"UGCAAVHDMKYBRugcaavhdmkybr"))


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


def record_text(fasta, regions, heads, sep, width, strands, table):
    """The records as bytes: head, sep, then the bases in lines of `width` (0: one line), each
    line ended by a line break; a region that is None gives head and sep alone. The engine does
    the work, except for heads that hold bytes that are not UTF-8 (read from the input as they
    were), which it cannot take."""
    try:
        return fasta.fetch_fasta(regions, heads, width=width, sep=sep, rc=strands, table=table)
    except UnicodeEncodeError:
        pass
    minus = [] if not strands else [i for i, s in enumerate(strands) if s]
    seqs = fetch_texts(fasta, regions)
    translate = COMPLEMENT_RNA if table == TABLE_RNA else COMPLEMENT
    for i, text in zip(minus, reverse_complements([seqs[i] for i in minus], translate)):
        seqs[i] = text
    parts = []
    for head, seq in zip(heads, seqs):
        parts.append(head + sep)
        step = width or len(seq) or 1
        parts.extend(seq[k : k + step] + "\n" for k in range(0, len(seq), step))
    return "".join(parts).encode("utf-8", "surrogateescape")


def split_records(pattern, columns):
    """The text of each record from a pattern and its columns (see interleave), as a list."""
    if not columns[0]:
        return []
    return interleave(list(pattern) + ["\0"], columns).split("\0")[:-1]


def interleave(pattern, columns):
    """One text from a repeating pattern of literal strings and None slots, the k-th None slot
    of every repeat filled from columns[k]; the joining happens in C, not per record in Python."""
    count = len(columns[0])
    parts = list(pattern) * count
    slots = [i for i, p in enumerate(pattern) if p is None]
    for slot, column in zip(slots, columns):
        parts[slot :: len(pattern)] = column
    return "".join(parts)
