"""Single-region fetches through Faidx: bounds rules, warnings, filling, case, coordinates, paths."""
import random

import pytest

from conftest import bump_mtime
import sekva
from sekva import Faidx

TEXT = "ACGTACGTACacgtacgtacNNNNNGGGGG"  # 30 bases


@pytest.fixture(params=["map", "descriptor"])
def genome(request, write):
    """A 30-base record in 7-base lines, opened through the map or through the descriptor."""
    body = "".join(TEXT[i : i + 7] + "\n" for i in range(0, len(TEXT), 7))
    path = write(">chr1 desc\n" + body + ">empty\n>one\nT\n")

    def open_(**kw):
        return Faidx(path, mutable=request.param == "descriptor", **kw)

    return open_


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


@pytest.mark.parametrize(
    "start, end, seq, coords",
    [(1, 30, TEXT, (1, 30)), (1, 1, "A", (1, 1)), (6, 15, TEXT[5:15], (6, 15)), (30, 30, "G", (30, 30)),
     (7, 8, TEXT[6:8], (7, 8))],
)
def test_fetch_in_range(genome, capfd, start, end, seq, coords):
    s = genome().fetch("chr1", start, end)
    assert fields(s) == ("chr1", seq, *coords, False)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "start, end, seq, coords, warnings",
    [
        (5, 3, "", (5, 3), ["start coordinate 5 is greater than end coordinate 3"]),
        (0, 10, "", (0, 10), ["coordinates cannot be 0 (1-based indexing)"]),
        (31, 35, "", (31, 31), ["coordinates 31-35 are out of bounds for sequence 'chr1' of length 30"]),
        (25, 40, TEXT[24:], (25, 30), ["coordinates 25-40 are out of bounds for sequence 'chr1' of length 30"]),
        (0, 31, "", (0, 30), ["coordinates 0-31 are out of bounds for sequence 'chr1' of length 30",
                              "coordinates cannot be 0 (1-based indexing)"]),
    ],
)
def test_lenient_bounds(genome, capfd, start, end, seq, coords, warnings):
    s = genome().fetch("chr1", start, end)
    assert (s.seq, s.start, s.end) == (seq, *coords)
    raw = genome(as_raw=True).fetch("chr1", start, end)
    # Only the empty results of the warning paths keep coordinates under as_raw.
    assert (raw.seq, raw.start, raw.end) == ((seq, *coords) if not seq else (seq, None, None))
    err = capfd.readouterr().err
    assert err == "".join(f"WARNING: {w}\n" for w in warnings) * 2


@pytest.mark.parametrize(
    "start, end, message",
    [
        (5, 3, "start coordinate 5 is greater than end coordinate 3"),
        (0, 10, r"coordinates cannot be 0 \(1-based indexing\)"),
        (10, 0, r"coordinates cannot be 0 \(1-based indexing\)"),
        (31, 35, "coordinates 31-35 are out of bounds for sequence 'chr1' of length 30"),
        (0, 31, "coordinates 0-31 are out of bounds for sequence 'chr1' of length 30"),
    ],
)
def test_strict_bounds(genome, capfd, start, end, message):
    with pytest.raises(IndexError, match=f"^{message}$"):
        genome(strict_bounds=True).fetch("chr1", start, end)
    assert capfd.readouterr().err == ""


def test_empty_record(genome, capfd):
    s = genome().fetch("empty", 1, 1)
    assert (s.seq, s.start, s.end) == ("", 1, 1)
    assert "out of bounds for sequence 'empty' of length 0" in capfd.readouterr().err
    with pytest.raises(IndexError):
        genome(strict_bounds=True).fetch("empty", 1, 1)
    assert genome().fetch_entire_sequence("empty").seq == ""


@pytest.mark.parametrize(
    "options, start, end",
    [(dict(), 3, 3), (dict(one_based_attributes=False), 2, 3), (dict(as_raw=True), None, None)],
)
def test_coordinate_options(genome, options, start, end):
    s = genome(**options).fetch("chr1", 3, 3)
    assert (s.seq, s.start, s.end) == ("G", start, end)
    whole = genome(**options).fetch_entire_sequence("chr1")
    assert whole.seq == TEXT
    assert (whole.start, whole.end) == {3: (1, 30), 2: (0, 30), None: (None, None)}[start]


def test_upper_case(genome):
    s = genome(sequence_always_upper=True).fetch("chr1", 9, 14)
    assert s.seq == TEXT[8:14].upper()
    assert genome(sequence_always_upper=True).fetch_entire_sequence("chr1").seq == TEXT.upper()


def test_unknown_name(genome):
    for call in (lambda fa: fa.fetch("chrX", 1, 2), lambda fa: fa.fetch_entire_sequence("chrX")):
        with pytest.raises(Exception, match="^FetchError: Sequence 'chrX' not found$") as info:
            call(genome())
        assert type(info.value) is sekva.FetchError and info.value.args == ("FetchError: Sequence 'chrX' not found",)
        assert isinstance(info.value, KeyError) and str(info.value) == "FetchError: Sequence 'chrX' not found"


@pytest.mark.parametrize("mutable", [False, True])
@pytest.mark.parametrize("default, tail", [(None, ""), ("N", "NNNN"), ("NX", "NXNXNXNX")])
def test_truncated_file(write, mutable, default, tail):
    path = write(">a\nACGTACGTAC\nACGTAC\n")
    write("a\t20\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    fa = Faidx(path, default_seq=default, mutable=mutable, sequence_always_upper=True)
    s = fa.fetch("a", 11, 20)
    assert (s.seq, s.start, s.end) == ("ACGTAC" + tail.upper(), 11, 20)
    assert fa.fetch_entire_sequence("a").seq == "ACGTACGTACACGTAC"


@pytest.mark.parametrize("mutable", [False, True])
@pytest.mark.parametrize(
    "entry",
    [
        "a\t5\t99999999\t10\t11",            # offset past the end of the file
        "a\t18446744073709551615\t3\t10\t11",  # huge rlen
        "a\t5\t3\t0\t0",                     # lenc 0 with rlen > 0
        "a\t100\t18446744073709551615\t18446744073709551615\t18446744073709551615",
        "a\t100\t3\t10\t2",                  # lenb < lenc
        "a\t100\t3\t1\t18446744073709551615",
    ],
)
def test_bogus_index_numbers_never_crash(write, mutable, entry):
    path = write(">a\nACGTACGTAC\n")
    write(entry + "\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    fa = Faidx(path, mutable=mutable)
    for call in (lambda: fa.fetch("a", 1, 5), lambda: fa.fetch("a", 3, 2**63), lambda: fa.fetch_entire_sequence("a")):
        try:
            s = call()
        except MemoryError:
            continue
        except Exception as e:
            # A descriptor seek past the largest file offset fails, as lseek does.
            assert mutable and str(e) == "IOError: Invalid argument (os error 22)"
            continue
        assert len(s.seq) <= 11


def test_huge_padding_is_a_memory_error(write):
    path = write(">a\nAC\n")
    write("a\t18446744073709551615\t3\t2\t3\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    with pytest.raises(MemoryError):
        Faidx(path, default_seq="NN").fetch("a", 1, 2**63)


def test_non_ascii_bases_are_refused(write, genome):
    path = write(">a\nAC\u00e9GT\n")
    fa = Faidx(path)
    assert fa.fetch("a", 1, 2).seq == "AC"
    for call in (lambda: fa.fetch("a", 3, 3), lambda: fa.fetch("a", 2, 4), lambda: fa.fetch_entire_sequence("a")):
        with pytest.raises(ValueError, match="bases fetched from 'a' are not ASCII text"):
            call()


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_random_regions_match_the_text(write, newline):
    rng = random.Random(11)
    records = {f"r{i}": "".join(rng.choice("ACGTNacgtn") for _ in range(rng.randint(1, 500))) for i in range(8)}
    width = 37
    text = "".join(
        f">{name}{newline}" + "".join(seq[i : i + width] + newline for i in range(0, len(seq), width))
        for name, seq in records.items()
    )
    path = write(text)
    for fa in (Faidx(path), Faidx(path, mutable=True)):
        for _ in range(300):
            name = rng.choice(list(records))
            seq = records[name]
            a = rng.randint(1, len(seq))
            b = rng.randint(a, len(seq))
            assert fa.fetch(name, a, b).seq == seq[a - 1 : b]
        for name, seq in records.items():
            assert fa.fetch_entire_sequence(name).seq == seq


TRUNCATE = """
import os, sys
from sekva import Faidx
path = sys.argv[1]
fa = Faidx(path)
os.truncate(path, 1000)
for call in (lambda: fa.fetch("a", 500000, 500100), lambda: fa.fetch_entire_sequence("a"),
             lambda: fa.fetch_many([("a", 500000, 500100)] * 1500)):
    try:
        call()
        print("no error")
    except Exception as e:
        print(type(e).__name__, str(e).split(":")[0])
print(fa.fetch("a", 1, 8).seq)
"""


def test_file_truncated_while_mapped(write):
    import subprocess
    import sys

    path = write(">a\n" + ("ACGT" * 15 + "\n") * 20000)
    out = subprocess.run([sys.executable, "-c", TRUNCATE, path], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:4] == ["FaidxIOError IOError", "FaidxIOError IOError", "RuntimeError Error fetching region 0",
                                          "ACGTACGT"]


@pytest.mark.parametrize("seed", range(4))
def test_random_indexes_never_crash(write, seed):
    """Any numbers in a loaded index give results, IndexError, MemoryError, or (for a descriptor
    seek past the largest file offset) an IOError; nothing else."""
    rng = random.Random(seed)
    edges = [0, 1, 2, 3, 59, 60, 61, 2**40, 2**63 - 1, 2**63, 2**64 - 2, 2**64 - 1]
    number = lambda: rng.choice(edges) if rng.random() < 0.4 else rng.randint(0, 200)  # noqa: E731
    path = write(">a\n" + "".join(rng.choice("ACGT\n\r>") for _ in range(150)))
    write("".join(f"r{i}\t{number()}\t{number()}\t{number()}\t{number()}\n" for i in range(6)), "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    for mutable in (False, True):
        for options in ({}, {"strict_bounds": True}, {"default_seq": "N"}):
            fa = Faidx(path, mutable=mutable, **options)
            regions = [(f"r{rng.randrange(6)}", number(), number()) for _ in range(20)]
            for call in [lambda r=r: fa.fetch(*r) for r in regions] + [
                lambda: fa.fetch_entire_sequence(f"r{rng.randrange(6)}"),
                lambda: fa.fetch_many(regions * 60),
                lambda: fa.fetch_many_same_chr("r0", [(s, e) for _, s, e in regions] * 60),
            ]:
                try:
                    out = call()
                except (IndexError, MemoryError, RuntimeError):
                    continue
                except Exception as e:
                    assert mutable and str(e) == "IOError: Invalid argument (os error 22)"
                    continue
                for s in out if isinstance(out, list) else [out]:
                    assert len(s.seq) <= 150 or set(s.seq) == {"N"} or s.seq.endswith("N")


def test_an_index_that_understates_line_breaks_reads_the_same_mapped_or_not(write):
    # The index says ten bases a line; the file breaks after every base with CRLF. Every reader
    # takes the bytes of the window the index gives the region, so mapped and unmapped agree.
    path = write(">a\n" + "".join(b + "\r\n" for b in "ACGTACGTACGTACGTACGT"))
    write("a\t20\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    got = {mutable: Faidx(path, mutable=mutable).fetch("a", 1, 10).seq for mutable in (False, True)}
    assert got[False] == got[True]
    assert "ACGTACGTAC".startswith(got[False]) and got[False]
