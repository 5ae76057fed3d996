"""A model of the annotation reader in plain Python, the engine's reader held to it on hostile
text: lines as str.splitlines splits them, int() for coordinates, a regular expression for GTF's
transcript_id, dicts for IDs, and gffread's gathering, merging and order."""
from __future__ import annotations

import os
import re
from typing import Dict, List, Optional, Tuple, Union

# The values the reader gives, and its error, are those the package defines.
from sekva_cli._annotation import AnnotationError, Span, Transcript, read_text

# Features that are a transcript's exons; its coding parts (the stop codon counts, as gffread
# counts it); and parts that make up its exons where it has no exon feature.
_EXON = frozenset({"exon"})
_CODING = frozenset({"cds", "CDS", "start_codon", "stop_codon"})
_UNTRANSLATED = frozenset({"utr", "5utr", "3utr", "five_prime_utr", "three_prime_utr", "utr5", "utr3"})
_GTF_ID = re.compile(r'(?:^|;)\s*transcript_id\s+"?([^";]*)"?')
# gffread drops a GTF transcript whose exon and CDS lines come before any transcript line and
# make one exon shorter than this.
_GTF_SHORTEST_LONE_EXON = 11


def _merged(spans: List[Span]) -> List[Span]:
    if len(spans) == 1:
        return spans
    merged: List[Span] = []
    for first, last in sorted(spans):
        if merged and first <= merged[-1][1] + 1:
            if last > merged[-1][1]:
                merged[-1] = (merged[-1][0], last)
        else:
            merged.append((first, last))
    return merged


class _Parts:
    __slots__ = ("chrom", "strand", "exons", "cds", "utr", "span", "phases", "line", "is_transcript", "announced")

    def __init__(self, chrom: str, strand: str, line: int) -> None:
        self.chrom, self.strand, self.line = chrom, strand, line
        self.exons: List[Span] = []
        self.cds: List[Span] = []
        self.utr: List[Span] = []
        self.phases: List[Tuple[int, int, str]] = []  # (first, last, phase) of each CDS line
        self.span: Optional[Span] = None
        self.is_transcript = False
        self.announced = False  # a transcript line came before its exons


def _open_text(path: Union[str, "os.PathLike[str]"]) -> str:
    return read_text(path).decode("utf-8", "surrogateescape")


def _gff3_attributes(text: str) -> Dict[str, str]:
    attributes = {}
    for item in text.split(";"):
        key, sep, value = item.strip().partition("=")
        if sep:
            attributes[key] = value
    return attributes


def read_transcripts(path: Union[str, "os.PathLike[str]"]) -> List[Transcript]:
    """The transcripts of a GTF or GFF3 file, in gffread's order: records in the order the file
    first names them, and on each, by start, end, then ID. A GTF line belongs to the transcript of
    its transcript_id; a GFF3 exon or CDS to each transcript its Parent names."""
    lines = _open_text(path).splitlines()
    gff3 = any(line.startswith("##gff-version 3") for line in lines[:50]) or (
        not any('transcript_id "' in line for line in lines[:1000])
        and any("Parent=" in line or "ID=" in line for line in lines[:1000]))
    records: Dict[str, int] = {}
    parts: Dict[str, _Parts] = {}
    order: List[str] = []  # IDs in the order the file first names them
    children: List[Tuple[str, str, int, int, str, str, int]] = []  # GFF3 lines waiting for their parents
    for number, line in enumerate(lines, 1):
        if not line or line[0] == "#":
            continue
        fields = line.split("\t", 8)
        if len(fields) < 9:
            if line.strip() and not gff3:
                raise AnnotationError(f"line {number}: {len(fields)} tab-separated fields where GTF has 9")
            continue
        chrom, _, kind, start_text, end_text, _, strand, phase, attributes = fields
        if kind != "exon" and kind != "CDS":
            kind = kind.lower()
        try:
            first, last = int(start_text), int(end_text)
        except ValueError:
            raise AnnotationError(f"line {number}: start {start_text!r} or end {end_text!r} is not a number") from None
        if first < 1 or last < first:
            raise AnnotationError(f"line {number}: {first}-{last} is not a range of 1-based positions")
        if chrom not in records:
            records[chrom] = len(records)
        if gff3:
            attrs = _gff3_attributes(attributes.rstrip("\r"))
            if kind in _EXON or kind in _CODING or kind in _UNTRANSLATED:
                for parent in attrs.get("Parent", "").split(","):
                    if parent:
                        children.append((parent, kind, first, last, phase, strand, number))
                continue
            tid = attrs.get("ID")
            if tid is None:
                continue
            if tid not in parts:
                parts[tid] = _Parts(chrom, strand, number)
                order.append(tid)
            p = parts[tid]
            p.span = (first, last)
            p.is_transcript = kind.endswith("rna") or kind.endswith("transcript")
            continue
        # transcript_id "x" as GTF writes it, found without a regular expression; anything else
        # through one.
        at = attributes.find('transcript_id "')
        close = attributes.find('"', at + 15) if at >= 0 else -1
        if close >= 0 and (at == 0 or attributes[at - 1] in " ;\t"):
            tid = attributes[at + 15 : close]
        else:
            m = _GTF_ID.search(attributes)
            if m is None:
                continue
            tid = m.group(1)
        found = parts.get(tid)
        if found is None:
            found = parts[tid] = _Parts(chrom, strand, number)
            found.announced = kind in ("transcript", "mrna")
            order.append(tid)
        if kind == "exon":
            found.exons.append((first, last))
        else:
            _add(found, kind, first, last, phase)
    if gff3:
        for parent, kind, first, last, phase, strand, number in children:
            if parent in parts:
                parts[parent].is_transcript = True
                _add(parts[parent], kind, first, last, phase)
    transcripts = []
    for tid in order:
        t = _assemble(tid, parts[tid], gff3)
        if t is not None:
            transcripts.append(t)
    transcripts.sort(key=lambda t: (records[t.chrom], t.start, t.end, t.id.encode("utf-8", "surrogateescape")))
    return transcripts


def _add(p: _Parts, kind: str, first: int, last: int, phase: str) -> None:
    if kind in _EXON:
        p.exons.append((first, last))
    elif kind in _CODING:
        p.cds.append((first, last))
        if kind == "CDS" or kind == "cds":
            p.phases.append((first, last, phase))
    elif kind in _UNTRANSLATED:
        p.utr.append((first, last))
    elif kind == "transcript" or kind == "mrna":
        p.span = (first, last)
        p.is_transcript = True


def _assemble(tid: str, p: _Parts, gff3: bool) -> Optional[Transcript]:
    cds = _merged(p.cds)
    if p.exons:
        exons = _merged(p.exons)
    elif cds or p.utr:
        exons = _merged(p.cds + p.utr)
    elif p.span is not None and p.is_transcript:
        exons = [p.span]
    else:
        return None
    if (not gff3 and not p.announced and len(exons) == 1
            and exons[0][1] - exons[0][0] + 1 < _GTF_SHORTEST_LONE_EXON):
        return None
    phase = 0
    if p.phases:
        # The phase of the CDS line that starts the coding sequence in the direction of transcription.
        first, last, text = min(p.phases) if p.strand != "-" else max(p.phases, key=lambda x: (x[1], x[0]))
        phase = int(text) if text in ("0", "1", "2") else 0
    return Transcript(tid, p.chrom, p.strand, exons, cds, phase)
