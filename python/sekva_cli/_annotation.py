"""Transcripts of a GTF or GFF3 annotation (plain or gzipped), read by the engine: exons and CDS
gathered per transcript as gffread gathers them, in gffread's order, with the coordinates its FASTA
headers print."""
from __future__ import annotations

import gzip
import os
from typing import List, Tuple, Union

import sekva

Span = Tuple[int, int]  # 1-based, inclusive


class AnnotationError(ValueError):
    """A line of the annotation that cannot be read."""


class Transcript:
    """One transcript: its record, strand, exons and CDS parts (ascending, merged where they touch)
    and the phase of its first coding base in the direction of transcription."""

    __slots__ = ("id", "chrom", "strand", "exons", "cds", "phase")

    def __init__(self, id: str, chrom: str, strand: str, exons: List[Span], cds: List[Span], phase: int) -> None:
        self.id = id
        self.chrom = chrom
        self.strand = strand
        self.exons = exons
        self.cds = cds
        self.phase = phase

    @property
    def start(self) -> int:
        return self.exons[0][0]

    @property
    def end(self) -> int:
        return self.exons[-1][1]

    def __repr__(self) -> str:
        return f"Transcript({self.id!r}, {self.chrom}:{self.start}-{self.end}({self.strand}), {len(self.exons)} exons)"

    def coding_parts(self) -> List[Span]:
        """The CDS parts, ascending, with the first `phase` bases in the direction of transcription
        left out: what gffread writes for -x and translates for -y. As in gffread, the phase skips
        bases of the first part only: a first part no longer than the phase is left out whole."""
        parts = list(self.cds)
        if not self.phase or not parts:
            return parts
        forward = self.strand != "-"
        first, last = parts[0] if forward else parts[-1]
        if last - first + 1 <= self.phase:
            parts.pop(0 if forward else -1)
        elif forward:
            parts[0] = (first + self.phase, last)
        else:
            parts[-1] = (first, last - self.phase)
        return parts

    def coding_start(self) -> int:
        """The genomic position where the phase puts the first coding base, in an exon or not."""
        return self.cds[0][0] + self.phase if self.strand != "-" else self.cds[-1][1] - self.phase

    def in_transcript_order(self, parts: List[Span]) -> List[Span]:
        return parts if self.strand != "-" else parts[::-1]

    def transcript_offset(self, position: int) -> int:
        """The 1-based position within the spliced transcript of a genomic position; 0 for one in
        no exon, as gffread prints it."""
        offset = 0
        for first, last in self.in_transcript_order(self.exons):
            if first <= position <= last:
                return offset + (position - first + 1 if self.strand != "-" else last - position + 1)
            offset += last - first + 1
        return 0


def read_text(path: Union[str, "os.PathLike[str]"]) -> bytes:
    """The bytes of an annotation file, gunzipped where it is gzipped."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data


def read_transcripts(path: Union[str, "os.PathLike[str]"]) -> List[Transcript]:
    """The transcripts of a GTF or GFF3 file, in gffread's order: records in the order the file
    first names them, and on each, by start, end, then ID. A GTF line belongs to the transcript of
    its transcript_id; a GFF3 exon or CDS to each transcript its Parent names."""
    try:
        annotation = sekva._read_annotation(read_text(path))
    except ValueError as e:
        raise AnnotationError(str(e)) from None
    return [Transcript(*row) for row in sekva._annotation_transcripts(annotation)]
