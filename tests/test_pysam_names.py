"""pysam's FastaFile names (references, lengths, nreferences, get_reference_length) and get_region."""
import random
import shutil
import subprocess

import pytest

import sekva
from conftest import REGION_FORMS, random_region_texts

SAMTOOLS = shutil.which("samtools")
needs_samtools = pytest.mark.skipif(SAMTOOLS is None, reason="samtools is not installed")

# Names that need braces or look like regions of each other ("chr:1-5" and "chr").
NAMES = ["chr1", "chr2", "chr:3", "chr", "chr:1-5", "x", "a:b"]

# One record without bases, not last (samtools refuses a file that ends with one) and left out of
# samtools' index, which sekva lists with length 0.
SMALL = ">chr1 first record\nACGTACGTAC\nGTACGTAC\n>empty\n>chr2\nTTTTGGGG\n>a:b\nCCCCAAAA\n"


def random_genome(rng):
    """FASTA text of the NAMES (plus a few) in a random order, every record with bases."""
    names = NAMES + [f"s{i}" for i in range(rng.randint(0, 3))]
    rng.shuffle(names)
    out = []
    for name in names:
        out.append(f">{name}{rng.choice(['', ' a description'])}\n")
        length, width = rng.randint(1, 300), rng.randint(1, 80)
        bases = "".join(rng.choice("ACGTNacgtn") for _ in range(length))
        out.extend(bases[i : i + width] + "\n" for i in range(0, length, width))
    return "".join(out)


def random_regions(rng, count):
    names = NAMES + ["chrZ", "", "{chr:3}", "{chr}", "{chr:1-5}", "{x", "{a:b}"]
    return random_region_texts(rng, names, count, REGION_FORMS + [":{a}--{b}"])


def twin_copies(tmp_path, text):
    """The same FASTA file in two directories, so that each tool builds and reads its own index."""
    paths = []
    for side in ("ours", "theirs"):
        (tmp_path / side).mkdir()
        path = tmp_path / side / "g.fa"
        path.write_text(text)
        paths.append(str(path))
    return paths


# --- names and lengths -------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(6))
def test_names_and_lengths_match_pysam(tmp_path, seed):
    pysam = pytest.importorskip("pysam")
    ours, theirs = twin_copies(tmp_path, random_genome(random.Random(seed)))
    fa, pf = sekva.Fasta(ours), pysam.FastaFile(theirs)
    assert fa.references == tuple(pf.references)
    assert fa.lengths == tuple(pf.lengths)
    assert fa.nreferences == pf.nreferences
    for name in pf.references:
        assert fa.get_reference_length(name) == pf.get_reference_length(name)


def test_names_and_lengths_exact(write):
    fa = sekva.Fasta(write(SMALL))
    assert fa.references == ("chr1", "empty", "chr2", "a:b")
    assert fa.lengths == (18, 0, 8, 8)
    assert fa.nreferences == 4
    assert [type(v) for v in fa.lengths] == [int] * 4
    assert [fa.get_reference_length(reference=name) for name in fa.references] == [18, 0, 8, 8]
    assert fa.references == tuple(fa.keys())
    for attribute in ("references", "lengths", "nreferences"):
        with pytest.raises(AttributeError):
            setattr(fa, attribute, ())


@pytest.mark.parametrize(
    "name, error, message",
    [
        ("chrX", sekva.FetchError, "FetchError: Sequence 'chrX' not found"),
        ("chr1 ", sekva.FetchError, "FetchError: Sequence 'chr1 ' not found"),
        ("chr1 first record", sekva.FetchError, "FetchError: Sequence 'chr1 first record' not found"),
        ("\ud800", sekva.FetchError, "FetchError: Sequence '\\ud800' not found"),
        (1, TypeError, "argument 'reference': 'int' object cannot be converted to 'PyString'"),
        (b"chr1", TypeError, "argument 'reference': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_get_reference_length_refuses(write, name, error, message):
    fa = sekva.Fasta(write(SMALL))
    with pytest.raises(error) as caught:
        fa.get_reference_length(name)
    assert str(caught.value) == message
    if error is sekva.FetchError:
        assert isinstance(caught.value, KeyError)


def test_empty_file_has_no_references(write):
    fa = sekva.Fasta(write(""))
    assert (fa.references, fa.lengths, fa.nreferences) == ((), (), 0)


# --- get_region --------------------------------------------------------------------------------


def samtools_region(path, region):
    """(bases or None when samtools fails, its diagnostics) for one region."""
    proc = subprocess.run([SAMTOOLS, "faidx", path, region], capture_output=True)
    lines = proc.stdout.decode().split("\n")
    return ("".join(lines[1:]) if proc.returncode == 0 else None), proc.stderr.decode()


@needs_samtools
@pytest.mark.parametrize("seed", range(8))
def test_get_region_matches_samtools(tmp_path, capfd, seed):
    rng = random.Random(seed)
    ours, theirs = twin_copies(tmp_path, random_genome(rng))
    fa = sekva.Fasta(ours)
    for region in random_regions(rng, 30):
        expected, diagnostics = samtools_region(theirs, region)
        capfd.readouterr()
        try:
            got = fa.get_region(region)
        except sekva.FaidxError as e:
            got = e
        warned = capfd.readouterr().err
        if expected is not None:
            assert not isinstance(got, Exception), (region, got)
            assert got.seq == expected, region
            if not diagnostics:
                assert warned == "", region
            elif "Truncated sequence" in diagnostics:
                assert "out of bounds" in warned, region
        elif "[E::hts_parse_region] " in diagnostics:
            text = diagnostics.split("[E::hts_parse_region] ")[1].split("\n")[0]
            assert isinstance(got, sekva.RegionError), (region, got)
            assert str(got) == "RegionError: " + text
        elif isinstance(got, sekva.FetchError):
            # samtools reports the region missing; so does sekva when no record has the name.
            name = str(got).split("'")[1]
            assert name not in fa and region.lstrip("{").startswith(name), region
        elif isinstance(got, sekva.RegionError):
            assert str(got) == "RegionError: Coordinates must be > 0", region
        else:  # an end before the start: nothing, with get_seq's warning
            assert got.seq == "" and ("greater than end" in warned or "out of bounds" in warned), region


# (region, the get_seq call it reads as); the same Sequence, warnings and errors follow.
SAME_AS_GET_SEQ = [
    ("chr1:1-18", ("chr1", 1, 18)),
    ("chr1", ("chr1", 1, 18)),
    ("chr1:1", ("chr1", 1, 18)),
    ("chr1:0", ("chr1", 1, 18)),
    ("chr1:5", ("chr1", 5, 18)),
    ("chr1:5-", ("chr1", 5, 18)),
    ("chr1:5-0", ("chr1", 5, 18)),
    ("chr1:18", ("chr1", 18, 18)),
    ("chr1:-5", ("chr1", 1, 5)),
    ("chr1:1,0-1,2", ("chr1", 10, 12)),
    ("chr1: 3- 4", ("chr1", 3, 4)),
    ("chr1:3-4,", ("chr1", 3, 4)),
    ("chr1:1-1e1", ("chr1", 1, 10)),
    ("{chr1}:2-3", ("chr1", 2, 3)),
    ("a:b", ("a:b", 1, 8)),
    ("{a:b}", ("a:b", 1, 8)),
    ("{a:b}:2-3", ("a:b", 2, 3)),
    # past the end: clamped with a warning, or IndexError under strict_bounds
    ("chr1:1-100", ("chr1", 1, 100)),
    ("chr1:19", ("chr1", 19, 18)),
    ("chr1:2k", ("chr1", 2000, 18)),
    ("chr2:5-9", ("chr2", 5, 9)),
    # samtools reads nothing from a start of 0 followed by an end, and refuses an end before the
    # start; both read as get_seq reads them: nothing, with its warning (IndexError when strict)
    ("chr1:0-5", ("chr1", 0, 5)),
    ("chr1:0-", ("chr1", 0, 18)),
    ("chr1:5-3", ("chr1", 5, 3)),
    ("chr1:5-4", ("chr1", 5, 4)),
    ("empty:1-3", ("empty", 1, 3)),
]


def outcome(call, capfd):
    """(repr, seq, start, end, comp) of the Sequence a call gives, or its error, and what it wrote on
    standard error."""
    capfd.readouterr()
    try:
        s = call()
        got = (repr(s), s.seq, s.start, s.end, s.comp)
    except Exception as e:
        got = (type(e), str(e))
    return got, capfd.readouterr().err


@pytest.mark.parametrize("options", [{}, {"strict_bounds": True}, {"one_based_attributes": False},
                                     {"as_raw": True}, {"default_seq": "N"}, {"sequence_always_upper": True}])
@pytest.mark.parametrize("rc", [None, True])
@pytest.mark.parametrize("region, call", SAME_AS_GET_SEQ)
def test_get_region_reads_as_get_seq(write, capfd, region, call, rc, options):
    fa = sekva.Fasta(write(SMALL.lower()), **options)
    name, start, end = call
    ours = outcome(lambda: fa.get_region(region, rc), capfd)
    assert ours == outcome(lambda: fa.get_seq(name, start, end, rc), capfd)
    assert ours == outcome(lambda: fa.get_region(region=region, rc=rc), capfd)


@pytest.mark.parametrize("options", [{}, {"strict_bounds": True}, {"one_based_attributes": False}])
@pytest.mark.parametrize("region", ["empty", "empty:1", "{empty}"])
def test_get_region_reads_an_empty_record_whole_without_warning(write, capfd, region, options):
    fa = sekva.Fasta(write(SMALL), **options)
    capfd.readouterr()
    got = fa.get_region(region)
    assert capfd.readouterr().err == ""
    whole = fa["empty"][:]
    assert (got.name, got.seq, got.start, got.end) == ("empty", "", whole.start, whole.end)


@pytest.mark.parametrize(
    "region, error, message",
    [
        ("chrX", sekva.FetchError, "FetchError: Sequence 'chrX' not found"),
        ("chrX:1-5", sekva.FetchError, "FetchError: Sequence 'chrX' not found"),
        ("{chrX}:1-5", sekva.FetchError, "FetchError: Sequence 'chrX' not found"),
        ("{a:b}x", sekva.FetchError, "FetchError: Sequence 'a:b}' not found"),
        ("", sekva.FetchError, "FetchError: Sequence '' not found"),
        ("chr1 first record", sekva.FetchError, "FetchError: Sequence 'chr1 first record' not found"),
        ("\ud800:1-2", sekva.FetchError, "FetchError: Sequence '\\ud800' not found"),
        ("chr1:1-5x", sekva.RegionError, 'RegionError: Unexpected string "x" after region'),
        ("chr1:abc", sekva.RegionError, 'RegionError: Unexpected string "abc" after region'),
        ("chr1:-5-10", sekva.RegionError, "RegionError: Coordinates must be > 0"),
        ("chr1:1--5", sekva.RegionError, "RegionError: Coordinates must be > 0"),
        ("{chr1", sekva.RegionError, 'RegionError: Mismatching braces in "{chr1"'),
        ("chr:1-5", sekva.RegionError, "RegionError: Range is ambiguous. Use {chr:1-5} or {chr}:1-5 instead"),
        (5, TypeError, "argument 'region': 'int' object cannot be converted to 'PyString'"),
        (None, TypeError, "argument 'region': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_get_region_refuses(write, capfd, region, error, message):
    fa = sekva.Fasta(write(SMALL + ">chr\nAC\n>chr:1-5\nGT\n"))
    with pytest.raises(error) as caught:
        fa.get_region(region)
    assert str(caught.value) == message
    assert capfd.readouterr().err == ""
    builtin = {sekva.FetchError: KeyError, sekva.RegionError: ValueError}.get(error, TypeError)
    assert isinstance(caught.value, builtin)


def test_get_region_names_that_are_regions(write):
    fa = sekva.Fasta(write(">chr:1-5\nACGTACGT\n>chr:3\nTTGG\n"))
    assert fa.get_region("chr:1-5").seq == "ACGTACGT"  # a whole record, no "chr" to confuse it with
    assert fa.get_region("{chr:1-5}:2-3").seq == "CG"
    assert fa.get_region("chr:3:2-3").seq == "TG"


@pytest.mark.parametrize("rc, message", [("yes", "argument 'rc': 'str' object cannot be converted to 'PyBool'")])
def test_get_region_checks_rc_before_reading(write, capfd, rc, message):
    fa = sekva.Fasta(write(SMALL))
    with pytest.raises(TypeError, match=message):
        fa.get_region("chr1:1-100", rc)
    assert capfd.readouterr().err == ""
