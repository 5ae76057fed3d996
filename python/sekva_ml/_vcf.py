"""read_vcf: the variants of a VCF file (plain or bgzipped) as numpy columns, one row per ALT allele,
ready for fetch_variants."""
from __future__ import annotations

import gzip
import os
import re
import zlib
from typing import Any, Iterator

import numpy as np

_REGION = re.compile(r"^(?P<name>.+):(?P<start>[\d,]+)(?:-(?P<end>[\d,]*))?$")
_BASES = re.compile(r"^[ACGTURYSWKMBDHVNacgturyswkmbdhvn]+$")


def is_symbolic(allele: str) -> bool:
    """True for alleles that are not bases: <DEL>, *, ., breakends, the empty string."""
    return _BASES.match(allele) is None


def parse_region(region: str) -> tuple[str, int, int | None]:
    """(name, first, last) of "chr1" or "chr1:1,000-2,000" (1-based, inclusive; last None: to the end)."""
    if not isinstance(region, str) or not region:
        raise ValueError(f"region must be a non-empty string such as 'chr1' or 'chr1:1000-2000', not {region!r}")
    m = _REGION.match(region)
    if m is None:
        return region, 1, None
    first = int(m.group("start").replace(",", ""))
    end = m.group("end")
    last = int(end.replace(",", "")) if end else None
    if first < 1 or (last is not None and last < first):
        raise ValueError(f"region {region!r}: positions are 1-based and the end may not come before the start")
    return m.group("name"), first, last


def read_vcf(path: Any, region: str | None = None, *, keep_symbolic: bool = True) -> dict[str, np.ndarray]:
    """The variants of a VCF file as columns `chrom`, `pos` (int64, VCF POS), `ref`, `alt` and `id`,
    one row per ALT allele (a site with ALT "A,T" gives two rows), in file order.

    The file may be plain text or gzip/BGZF (told apart by its first bytes). `region` keeps the rows
    of one record, "chr1", or of the POS range of one, "chr1:1000-2000" (1-based, inclusive; a record
    whose whole name is the region text, such as "HLA-A*01:01", is kept whole as well). Symbolic
    alleles (<DEL>, *, breakends, and "." for a site with no ALT) stay as given, which
    fetch_variants refuses: `keep_symbolic=False` leaves out those rows."""
    wanted = None if region is None else parse_region(region)
    chrom: list[str] = []
    pos: list[int] = []
    ref: list[str] = []
    alt: list[str] = []
    ids: list[str] = []
    where = os.fsdecode(path) if isinstance(path, (str, bytes, os.PathLike)) else repr(path)
    for number, line in _lines(path):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t", 5)
        if len(fields) < 5:
            raise ValueError(f"{where} line {number}: a VCF data line needs at least five tab-separated fields")
        name, position_text, identifier, reference, alternates = fields[:5]
        try:
            position = int(position_text)
        except ValueError:
            raise ValueError(f"{where} line {number}: POS {position_text!r} is not an integer") from None
        if position < 0:
            raise ValueError(f"{where} line {number}: POS {position} is negative")
        if wanted is not None and name != region:
            if name != wanted[0] or position < wanted[1] or (wanted[2] is not None and position > wanted[2]):
                continue
        for allele in alternates.split(","):
            if not keep_symbolic and (is_symbolic(allele) or is_symbolic(reference)):
                continue
            chrom.append(name)
            pos.append(position)
            ref.append(reference)
            alt.append(allele)
            ids.append(identifier)
    return {
        "chrom": np.array(chrom, dtype=str),
        "pos": np.array(pos, dtype=np.int64),
        "ref": np.array(ref, dtype=str),
        "alt": np.array(alt, dtype=str),
        "id": np.array(ids, dtype=str),
    }


def _lines(path: Any) -> Iterator[tuple[int, str]]:
    with open(path, "rb") as probe:
        compressed = probe.read(2) == b"\x1f\x8b"
    opener = gzip.open if compressed else open
    number = 0
    with opener(path, "rb") as f:
        lines = iter(f)
        while True:
            try:
                raw = next(lines)
            except StopIteration:
                return
            except (EOFError, OSError, zlib.error) as e:
                raise ValueError(f"{os.fsdecode(path)}: compressed data damaged after line {number}: {e}") from None
            number += 1
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                raise ValueError(f"{os.fsdecode(path)} line {number} is not UTF-8 text") from None
            yield number, text.rstrip("\r\n")
