"""Every class, method, property and option of sekva in one program that mypy --strict accepts."""
from __future__ import annotations

import os
import tempfile
from typing import Any
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

import sekva
from sekva import Faidx, Fasta, FastaIterator, FastaRecord, MutableFastaRecord, Sequence, SequenceIterator


def first_word(header: str) -> str:
    return header.split()[0]


def keep_all(name: str) -> bool:
    return True


def walk_records(fasta: Fasta) -> list[int]:
    records: FastaIterator = iter(fasta)
    lengths = [len(record) for record in records]
    nxt: FastaRecord = next(iter(fasta))
    return lengths + [len(nxt)]


def pieces(record: FastaRecord) -> Iterator[str]:
    lines: SequenceIterator = iter(record)
    for piece in lines:
        yield piece.seq
    one: Sequence = next(iter(record))
    yield str(one)


def sequences(fasta: Fasta) -> None:
    s: Sequence = fasta.get_seq("chr1", 2, 9)
    flipped: Sequence = fasta.get_seq("chr1", 2, 9, rc=True)
    spliced = fasta.get_spliced_seq("chr1", [(1, 3), (7, 9)], rc=None)
    name: str = s.name
    bases: str = s.seq
    start: int | None = s.start
    end: int | None = s.end
    comp: bool = s.comp
    s.name, s.seq, s.start, s.end, s.comp = name, bases, start, end, comp
    s.start = None
    labels: list[str] = [s.fancy_name, s.long_name]
    orientation: int | None = flipped.orientation
    derived: list[Sequence] = [-s, s.reverse, s.complement, s[0], s[1:3], s[::-1]]
    fractions: list[float] = [s.gc, s.gc_strict, s.gc_iupac]
    same: bool = s == spliced or s != "ACGT"
    made = Sequence(name="x", seq="ACGT", start=1, end=4, comp=False)
    region: Sequence = fasta.get_region("chr1:2-9", rc=None)
    names: tuple[str, ...] = fasta.references
    lengths: tuple[int, ...] = fasta.lengths
    count: int = fasta.nreferences + fasta.get_reference_length("chr1")
    print(region, names, lengths, count)
    print(labels, orientation, len(derived), fractions, same, len(made), repr(made), str(made))


def batches(fasta: Fasta, faidx: Faidx) -> int:
    many: list[Sequence] = fasta.fetch_many([("chr1", 1, 4), ("chr2", 2, 3)], rc=False)
    same_chr: list[Sequence] = fasta.fetch_many_same_chr("chr1", [(1, 2), (3, 4)], rc=True)
    from_index: list[Sequence] = faidx.fetch_many([("chr1", 1, 4)])
    same_index: list[Sequence] = faidx.fetch_many_same_chr("chr2", [(1, 2)])
    return len(many) + len(same_chr) + len(from_index) + len(same_index)


def records(fasta: Fasta) -> None:
    by_name: FastaRecord = fasta["chr1"]
    by_position: FastaRecord = fasta[0]
    text: str = str(by_name)
    part: Sequence = by_name[2:5]
    base: Sequence = by_name[-1]
    backwards: list[Sequence] = reversed(by_name)
    long_name: str = by_position.long_name
    description: str = by_position.description
    unpadded: int = by_position.unpadded_len
    names: list[str] = fasta.keys()
    values: list[FastaRecord] = fasta.values()
    items: list[tuple[str, FastaRecord]] = fasta.items()
    present: bool = "chr1" in fasta
    total: int = len(fasta)
    print(text, part, base, len(backwards), long_name, description, unpadded, names, len(values), len(items), present, total)
    print(list(pieces(by_name)), walk_records(fasta))


def arrays(fasta: Fasta, faidx: Faidx) -> int:
    regions = [("chr1", 1, 4), ("chr2", 2, 5)]
    codes: npt.NDArray[np.uint8] = fasta.fetch_array(regions, rc=[False, "-"], pad="N", upper=True)
    starts = np.array([1, 2], dtype=np.int64)
    out = np.empty((2, 6), dtype=np.uint8)
    filled: npt.NDArray[np.uint8] = faidx.fetch_array(
        names=["chr1", "chr2"], starts=starts, ends=starts + 3, width=6, rc=np.array([True, False]), out=out
    )
    hot = fasta.fetch_onehot(regions, width=8, alphabet="ACGT", dtype=np.float32, channels_last=False)
    data, offsets = faidx.fetch_ragged(regions, rc=True, upper=False)
    hap_data, hap_offsets = fasta.fetch_haplotypes(regions, variant_offsets=[0, 1, 1], positions=[2], refs=["C"],
                                                   alts=["GT"], check_ref=False)
    haps: npt.NDArray[Any] = faidx.fetch_haplotypes(
        names=["chr1"], starts=starts[:1], ends=starts[:1] + 3, variant_offsets=np.array([0, 0]), positions=[],
        refs=[], alts=[], width=6, onehot=True, dtype="float16"
    )
    ref, alt = faidx.fetch_variants(["chr1"], np.array([2]), ["C"], [b"GT"], width=5, rc=["-"], onehot=True,
                                    dtype="float32", check_ref=False, out=None)
    text: bytes = fasta.fetch_fasta([("chr1", 1, 4), None], [">a", ">b"], width=60, rc=[True, False])
    more: bytes = faidx.fetch_fasta(names=["chr1"], starts=starts[:1], ends=starts[:1] + 3, heads=[">c"], sep="\t")
    bed: bytes = fasta.fetch_bed(b"chr1\t0\t4\tx\t0\t-\n", head=">{name}::{chrom}:{start}-{end}", stranded=True)
    with open(os.devnull, "wb") as sink:
        nothing: None = faidx.fetch_bed(b"chr1\t0\t4\n", width=60, out=sink)
        print(nothing)
    return int(codes.sum() + filled.sum() + hot.sum() + ref.sum() + alt.sum() + haps.sum()) + len(hap_data) + int(hap_offsets[-1]) + len(data) + int(offsets[-1]) + len(text + more + bed)


def refuse_writes(record: MutableFastaRecord) -> None:
    try:
        record[0] = "A"
    except NotImplementedError:
        pass


def describe_build() -> str:
    bgzf: str | None = sekva.features["bgzf"]
    remote: bool = sekva.features["remote"]
    simd: str = sekva.features["simd"]
    return f"{bgzf or 'no BGZF'}, remote {remote}, {simd}"


def main() -> None:
    print(sekva.__version__, sekva.__all__, describe_build())
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "g.fa")
        with open(path, "w") as f:
            f.write(">chr1 first\nACGTACGTAC\nGT\n>chr2\nNNACGTNN\n")
        with Fasta(
            path,
            indexname=None,
            default_seq=None,
            key_function=first_word,
            as_raw=False,
            strict_bounds=False,
            read_ahead=None,
            mutable=False,
            split_char=None,
            filt_function=keep_all,
            one_based_attributes=True,
            read_long_names=False,
            duplicate_action="stop",
            sequence_always_upper=False,
            rebuild=True,
            build_index=True,
            warn_to="stderr",
        ) as fasta:
            faidx = Faidx(
                path,
                indexname=path + ".fai",
                as_raw=True,
                strict_bounds=True,
                sequence_always_upper=True,
                rebuild=False,
                build_index=False,
                one_based_attributes=False,
                default_seq="N",
                mutable=False,
                key_function=None,
                split_char=" ",
                filt_function=None,
                read_long_names=True,
                duplicate_action="first",
                read_ahead=4096,
                warn_to="python",
            )
            fetched: Sequence = faidx.fetch("chr1", 1, 4)
            whole: Sequence = faidx.fetch_entire_sequence("chr2")
            keys: list[str] = faidx.keys
            print(fetched, whole, keys, "chr2" in faidx, repr(faidx), repr(fasta))
            sequences(fasta)
            records(fasta)
            print(batches(fasta, faidx), arrays(fasta, faidx))
            fasta.close()


if __name__ == "__main__":
    main()
