"""transcript_sequences: the spliced exons, CDS or proteins of the transcripts of a GTF/GFF3 file as
Sequence values, the exons of every transcript fetched in one engine call."""
from __future__ import annotations

import os
from typing import Any, Iterable, List, Sequence, Union

import sekva
from sekva_cli._annotation import Transcript, read_transcripts

from ._common import open_genome

__all__ = ["Transcript", "read_transcripts", "transcript_sequences"]
_KINDS = ("exons", "cds", "protein")


def transcript_sequences(genome: Any, annotation: Union[str, "os.PathLike[str]", Iterable[Transcript]], *,
                         kind: str = "exons", table: int = 1, stop: str = "*") -> List[sekva.Sequence]:
    """One Sequence per transcript of `annotation` (a GTF or GFF3 path, plain or gzipped, or the
    Transcript values read_transcripts returns), named by its ID, 5' to 3' (minus-strand ones
    reverse-complemented), in the order gffread writes them: `kind="exons"` the spliced exons,
    `"cds"` the spliced CDS without the bases its phase skips, `"protein"` that CDS translated by
    NCBI genetic code `table` with stops as `stop` (a trailing stop kept). Transcripts without CDS
    are left out of "cds" and "protein". A transcript on a record the genome lacks, or reaching
    past its end, raises sekva.FetchError or sekva.RegionError before anything is fetched."""
    if kind not in _KINDS:
        raise ValueError(f"kind must be one of {', '.join(_KINDS)}, not {kind!r}")
    fasta = open_genome(genome)
    if isinstance(annotation, (str, os.PathLike)):
        transcripts = read_transcripts(annotation)
    else:
        transcripts = list(annotation)
    lengths = dict(zip(fasta.references, fasta.lengths))
    names, lines = [], []
    for t in transcripts:
        if t.chrom not in lengths:
            raise sekva.FetchError(f"transcript {t.id}: no record {t.chrom} in the genome")
        if t.end > lengths[t.chrom]:
            raise sekva.RegionError(f"transcript {t.id}: {t.chrom}:{t.start}-{t.end} reaches past the end of "
                                    f"{t.chrom} ({lengths[t.chrom]} bp)")
        parts = t.exons if kind == "exons" else t.coding_parts()
        if parts:
            names.append(t.id)
            lines.append(_bed12(t.chrom, t.strand, parts))
    if not lines:
        return []
    text = fasta.fetch_bed("".join(lines).encode(), head="", sep="", stranded=True, split=True)
    seqs = text.decode("ascii", "replace").split("\n")
    out = [sekva.Sequence(name, seq) for name, seq in zip(names, seqs)]
    if kind == "protein":
        out = [s.translate(table=table, stop=stop) for s in out]
    return out


def _bed12(chrom: str, strand: str, parts: Sequence[tuple[int, int]]) -> str:
    start, end = parts[0][0] - 1, parts[-1][1]
    sizes = ",".join(str(last - first + 1) for first, last in parts)
    starts = ",".join(str(first - 1 - start) for first, _ in parts)
    return f"{chrom}\t{start}\t{end}\t.\t0\t{strand}\t{start}\t{end}\t0\t{len(parts)}\t{sizes}\t{starts}\n"
