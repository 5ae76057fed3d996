"""FastaRecord and the two iterators: subscripts, whole-record shortcuts, reversal, pieces."""
import random

import pytest

from conftest import bump_mtime
from sekva import Fasta

TEXT = "ACGTACGTAC" * 15  # 150 bases in lines of 60


@pytest.fixture
def path(write):
    lines = "".join(TEXT[i : i + 60] + "\n" for i in range(0, 150, 60))
    return write(">chr1\n" + lines + ">empty\n>pad\nNNACGTnn\n>allN\nNNNN\n")


def test_length_text_and_repr(path):
    fa = Fasta(path)
    assert (len(fa["chr1"]), str(fa["chr1"]), repr(fa["chr1"])) == (150, TEXT, 'FastaRecord("chr1")')
    assert str(Fasta(path, sequence_always_upper=True)["pad"]) == "NNACGTNN"
    assert [fa[n].unpadded_len for n in ("pad", "allN", "empty")] == [4, 0, 0]
    assert fa["chr1"].long_name == "chr1"


@pytest.mark.parametrize("strict", [False, True])
def test_empty_record_reads_as_nothing_silently(path, capfd, strict):
    r = Fasta(path, strict_bounds=strict)["empty"]
    assert (len(r), reversed(r), list(r), str(r), str(r[:])) == (0, [], [], "", "")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "key",
    [0, 5, -1, -150, slice(10, 20), slice(None, 7), slice(140, None), slice(10, 20, 2), slice(20, 10, -1),
     slice(None, None, -1), slice(None, None, 3), slice(149, 0, -7), slice(-5, None), slice(5, 100, -1),
     slice(-200, 40, 4), slice(None, 5, -1), slice(1000, None, -2)],
)
@pytest.mark.parametrize("options", [{}, {"strict_bounds": True}])
def test_subscripts_match_python(path, key, options):
    if options and isinstance(key, slice) and key.step and key.step < 0 and (key.stop in (0,) or key.stop is not None and key.stop < 0):
        pytest.skip("strict bounds refuse position 0")
    assert Fasta(path, **options)["chr1"][key].seq == TEXT[key]


@pytest.mark.parametrize(
    "key, start, end",
    [(slice(10, 20), 11, 20), (0, 1, 1), (-1, 150, 150), (slice(10, 20, 2), 11, 20), (slice(20, 10, -1), 12, 21),
     (slice(None), 1, 150), (slice(None, None, -1), 1, 150)],
)
def test_subscript_coordinates(path, key, start, end):
    s = Fasta(path)["chr1"][key]
    assert (s.name, s.start, s.end, s.comp) == ("chr1", start, end, False)
    z = Fasta(path, one_based_attributes=False)["chr1"][slice(10, 20)]
    assert (z.start, z.end) == (10, 20)


def test_out_of_range_subscripts(path, capfd):
    r = Fasta(path)["chr1"]
    s = r[150]
    assert (s.seq, s.start, s.end) == ("", 151, 151)
    assert r[-151].seq == "" and r[-10**6].seq == ""
    assert r[5:5].seq == ""
    err = capfd.readouterr().err
    assert "WARNING: start coordinate 6 is greater than end coordinate 5\n" in err
    assert "WARNING: coordinates cannot be 0 (1-based indexing)\n" in err
    strict = Fasta(path, strict_bounds=True)["chr1"]
    for key, message in [(150, "out of bounds"), (-151, "cannot be 0"), (slice(5, 5), "start coordinate 6 is greater"),
                         (slice(5, 0, -1), "cannot be 0")]:
        with pytest.raises(IndexError, match=message):
            strict[key]
    for key in ("a", 1.0, 2**70):
        with pytest.raises(TypeError, match="^Invalid index type$"):
            r[key]
    with pytest.raises(ValueError):
        r[::0]


def test_whole_record_shortcut_skips_bounds(write, capfd):
    path = write(">a\nACGTACGTAC\n")
    write("a\t20\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    r = Fasta(path, default_seq="N")["a"]
    assert r[:].seq == r[::1].seq == r[0:20].seq == r[0:20:1].seq == r[::"x"].seq == "ACGTACGTAC"
    assert capfd.readouterr().err == ""
    assert r[:20].seq == "ACGTACGTAC" + "N" * 10 and r[:20].end == 20


def test_reversed_and_iteration(path):
    r = Fasta(path)["chr1"]
    pieces = list(r)
    assert [(p.seq, p.start, p.end) for p in pieces] == [(TEXT[:60], 1, 60), (TEXT[60:120], 61, 120),
                                                         (TEXT[120:], 121, 150)]
    back = reversed(r)
    assert type(back) is list and "".join(p.seq for p in back) == TEXT[::-1]
    assert [(p.start, p.end) for p in back] == [(150, 121), (120, 61), (60, 1)]
    it = iter(r)
    assert iter(it) is it
    list(it)
    with pytest.raises(StopIteration):
        next(it)
    a, b = iter(r), iter(r)
    next(a)
    assert next(b).start == 1 and next(a).start == 61


@pytest.mark.parametrize("options, first", [({"as_raw": True}, (None, None)), ({"one_based_attributes": False}, (0, 60))])
def test_piece_options(path, options, first):
    p = next(iter(Fasta(path, **options)["chr1"]))
    assert (p.start, p.end) == first


def test_zero_line_width_still_ends(write):
    path = write(">a\nACGT\n")
    write("a\t4\t3\t0\t0\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    r = Fasta(path)["a"]
    assert [p.seq for p in r] == ["", "", "", ""] or len(list(r)) == 4
    assert len(reversed(r)) == 4


def test_fasta_iterator_is_sticky(path):
    fa = Fasta(path)
    it = iter(fa)
    assert [repr(x) for x in it] == [f'FastaRecord("{n}")' for n in fa.keys()]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_random_slices_against_python(write):
    rng = random.Random(17)
    text = "".join(rng.choice("ACGTNacgtn") for _ in range(997))
    path = write(">r\n" + "".join(text[i : i + 61] + "\n" for i in range(0, len(text), 61)))
    r = Fasta(path)["r"]
    for _ in range(400):
        a, b = rng.randint(-1100, 1100), rng.randint(-1100, 1100)
        step = rng.choice([None, 1, 2, 3, -1, -2, -5])
        key = slice(rng.choice([a, None]), rng.choice([b, None]), step)
        expected = text[key]
        if step and step < 0 and key.start is not None and key.start < -len(text):
            continue  # a start before the beginning counts as the last base here
        assert r[key].seq == expected, key
