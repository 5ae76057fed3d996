"""Sequence values: construction, properties, text forms, comparison, subscripts, transforms, GC."""
import gc
import inspect
import sys

import pytest

import sekva
from sekva import Sequence


def make(**kw):
    base = dict(name="chr1", seq="ACGTAC", start=101, end=106)
    base.update(kw)
    return Sequence(**base)


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def test_defaults():
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert (str(s), repr(s), len(s), s.fancy_name, s.orientation) == ("", ">\n", 0, "", None)


def test_positional_and_keyword_arguments_agree():
    assert fields(Sequence("n", "AC", 1, 2, True)) == fields(Sequence(comp=True, end=2, start=1, seq="AC", name="n"))
    assert Sequence.__text_signature__ == "(name=..., seq=..., start=None, end=None, comp=False)"
    assert list(inspect.signature(Sequence).parameters) == ["name", "seq", "start", "end", "comp"]


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(name=None), TypeError, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(seq=b"AC"), TypeError, "argument 'seq': 'bytes' object cannot be converted to 'PyString'"),
        (dict(comp=1), TypeError, "argument 'comp': 'int' object cannot be converted to 'PyBool'"),
        (dict(comp=None), TypeError, "argument 'comp': 'NoneType' object cannot be converted to 'PyBool'"),
        (dict(start=1.5), TypeError, "argument 'start': "),
        (dict(start=-1), OverflowError, ""),
        (dict(end=2**64), OverflowError, ""),
        (dict(seq="AC\u00e9"), ValueError, "argument 'seq': sequence text must be ASCII"),
        (dict(bogus=1), TypeError, "Sequence.__new__() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_constructor_refuses(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Sequence(**kwargs)
    assert str(info.value).startswith(message)
    assert type(info.value) is exc


def test_bad_calls():
    with pytest.raises(TypeError, match="positional"):
        Sequence("a", "b", 1, 2, False, 6)
    with pytest.raises(TypeError, match="multiple values for argument 'name'"):
        Sequence("a", name="b")


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="'name'"):
        Sequence(None, None)


def test_coordinates_at_the_u64_limits():
    s = Sequence(start=0, end=2**64 - 1)
    assert (s.start, s.end) == (0, 2**64 - 1)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_index_objects_are_accepted():
    assert Sequence(start=Index(7)).start == 7
    assert make()[Index(1)].seq == "C"


@pytest.mark.parametrize(
    "attr, value, stored",
    [("name", "chrX", "chrX"), ("seq", "GG", "GG"), ("start", None, None), ("end", 5, 5), ("comp", True, True)],
)
def test_setters(attr, value, stored):
    s = make()
    setattr(s, attr, value)
    assert getattr(s, attr) == stored


@pytest.mark.parametrize("attr, value", [("name", 1), ("seq", "\u00e9"), ("start", -1), ("comp", 0)])
def test_failed_setter_keeps_old_value(attr, value):
    s = make()
    before = getattr(s, attr)
    with pytest.raises((TypeError, ValueError, OverflowError)):
        setattr(s, attr, value)
    assert getattr(s, attr) == before


@pytest.mark.parametrize("attr", ["name", "seq", "start", "end", "comp"])
def test_delete_is_refused(attr):
    with pytest.raises(AttributeError, match="can't delete attribute"):
        delattr(make(), attr)


@pytest.mark.parametrize("attr", ["fancy_name", "long_name", "reverse", "gc", "orientation"])
def test_computed_properties_are_read_only(attr):
    with pytest.raises(AttributeError):
        setattr(make(), attr, "x")


@pytest.mark.parametrize(
    "start, end, comp, fancy, orientation",
    [
        (10, 13, False, "chr1:10-13", 1),
        (13, 10, True, "chr1:13-10 (complement)", -1),
        (10, 13, True, "chr1:10-13 (complement)", None),
        (13, 10, False, "chr1:13-10", None),
        (10, 10, False, "chr1:10-10", None),
        (10, None, False, "chr1", None),
        (None, 10, True, "chr1 (complement)", None),
    ],
)
def test_fancy_name_and_orientation(start, end, comp, fancy, orientation):
    s = Sequence("chr1", "ACGT", start, end, comp)
    assert s.fancy_name == s.long_name == fancy
    assert s.orientation == orientation
    assert repr(s) == ">" + fancy + "\nACGT"


def test_equality():
    s = make()
    assert s == "ACGTAC" and not (s != "ACGTAC")
    assert s != "acgtac"
    assert s == Sequence("other", "ACGTAC", 1, 2, True)
    for other in (5, None, b"ACGTAC", ["ACGTAC"]):
        assert (s == other) is False and (s != other) is True
    assert s != "ACGTA\u00e9"
    with pytest.raises(TypeError):
        s < make()
    with pytest.raises(TypeError):
        hash(s)


def test_no_subclassing():
    with pytest.raises(TypeError):
        type("Sub", (Sequence,), {})


@pytest.mark.parametrize(
    "key, seq, start, end",
    [
        (0, "A", 101, 101),
        (-1, "C", 106, 106),
        (slice(1, 4), "CGT", 102, 104),
        (slice(None, None, 2), "AGA", 101, 106),
        (slice(None, None, -1), "CATGCA", 101, 106),
        (slice(4, 1, -1), "ATG", 103, 105),
        (slice(-100, None, -1), "CATGCA", 101, 106),
        (slice(3, 3), "", 104, 103),
        (slice(5, 2), "", 106, 102),
        (slice(1, None, 3), "CA", 102, 106),
        (slice(None, None, -2), "CTC", 101, 106),
        (slice(100, 200), "", 107, 106),
    ],
)
def test_subscript(key, seq, start, end):
    r = make()[key]
    assert (r.name, r.seq, r.start, r.end, r.comp) == ("chr1", seq, start, end, False)


@pytest.mark.parametrize(
    "key", [slice(None), slice(None, None, -1), slice(3, 1), slice(0, 5, 2), slice(-1, 0, -3), slice(3, 3, -1),
            slice(None, 100, -2), slice(2, 3, -1)])
def test_slices_match_python_where_python_defines_them(key):
    text = "ACGTACGGTTAC"
    assert Sequence(seq=text, start=1, end=12)[key].seq == text[key]


@pytest.mark.parametrize(
    "key, exc, message",
    [(6, IndexError, "Index out of range"), (-7, IndexError, "Index out of range"),
     ("a", TypeError, "Invalid index type"), (2**70, TypeError, "Invalid index type"),
     (1.0, TypeError, "Invalid index type"), (slice(None, None, 0), ValueError, "zero")],
)
def test_subscript_errors(key, exc, message):
    with pytest.raises(exc, match=message):
        make()[key]


def test_subscripts_without_coordinates():
    s = make(end=None)
    assert (s[2].start, s[2].end) == (103, 103)
    assert (s[1:3].start, s[1:3].end) == (None, None)
    assert ((-s).start, (-s).end) == (101, None)
    assert Sequence(seq="AC")[0].start is None


def test_empty_value_subscripts():
    s = Sequence("e", "", 1, 1)
    with pytest.raises(IndexError):
        s[0]
    for key in (slice(None), slice(None, None, -1), slice(2, 0, -1), slice(0, 5, 3)):
        assert s[key].seq == ""


def test_empty_slice_ending_before_offset_zero_has_no_end():
    r = Sequence("z", "ACGT", 0, 3)[0:0]
    assert (r.seq, r.start, r.end) == ("", 0, None)


def test_strand_transforms():
    s = make()
    rc = -s
    assert fields(rc) == ("chr1", "GTACGT", 106, 101, True)
    assert rc.fancy_name == "chr1:106-101 (complement)" and rc.orientation == -1
    assert fields(-rc) == fields(s)
    assert fields(rc[0:2]) == ("chr1", "GT", 106, 107, True)
    assert fields(s.reverse) == ("chr1", "CATGCA", 106, 101, False)
    assert s.reverse.orientation is None
    assert fields(s.complement) == ("chr1", "TGCATG", 101, 106, True)
    assert fields(s) == ("chr1", "ACGTAC", 101, 106, False)


def test_complement_table():
    s = Sequence(seq="ACGTacgtNnRYKMSWBDHVXUu-*")
    assert s.complement.seq == "TGCAtgcaNnYRMKSWVHDBXNNNN"
    every = "".join(chr(i) for i in range(128))
    assert len(Sequence(seq=every).complement.seq) == 128


def test_iteration_and_membership_use_the_subscript():
    s = make()
    pieces = list(s)
    assert [p.seq for p in pieces] == list("ACGTAC")
    assert [(p.start, p.end) for p in pieces] == [(i, i) for i in range(101, 107)]
    assert "G" in s and "GT" not in s


@pytest.mark.parametrize(
    "seq, gc_, strict, iupac",
    [
        ("", 0.0, 0.0, 0.0),
        ("ACGTN", 0.4, 0.5, 0.45),
        ("acgt", 0.5, 0.5, 0.5),
        ("NNNN", 0.0, 0.0, 0.25),
        ("SSWW", 0.0, 0.0, 0.5),
        ("B", 0.0, 0.0, 0.67),
        ("D", 0.0, 0.0, 0.33),
        ("BD", 0.0, 0.0, 0.5),
        ("U", 0.0, 0.0, 0.0),
        ("X", 0.0, 0.0, 0.0),
        ("AC-G", 0.5, 2 / 3, 2 / 3),
        ("ACGTRYKMSWBDHVN", 2 / 15, 0.5, 7.25 / 15),
    ],
)
def test_gc(seq, gc_, strict, iupac):
    s = Sequence(seq=seq)
    assert s.gc == pytest.approx(gc_) and s.gc_strict == pytest.approx(strict)
    assert s.gc_iupac == pytest.approx(iupac)


def test_mutable_record_refuses_every_write():
    cls = sekva.MutableFastaRecord
    with pytest.raises(TypeError, match="^No constructor defined for MutableFastaRecord$"):
        cls()


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_no_reference_leaks():
    s = make()
    ops = [
        lambda: Sequence("n", "ACGT", 1, 4, False), lambda: s[1:4], lambda: s[::-1], lambda: s[2], lambda: -s,
        lambda: s.reverse, lambda: s.complement, lambda: s.fancy_name, lambda: repr(s), lambda: s == "ACGTAC",
        lambda: s != s, lambda: list(s), lambda: s.gc_iupac,
    ]
    for op in ops:
        for _ in range(100):
            op()
        gc.collect()
        before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else len(gc.get_objects())
        refs = sys.getrefcount(s)
        for _ in range(2000):
            op()
        gc.collect()
        after = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else len(gc.get_objects())
        assert sys.getrefcount(s) == refs
        assert after - before < 50


def test_reentry_during_a_change_is_refused():
    s = make()

    class ReadsWhileWritten:
        def __index__(self):
            return s.start  # runs while `s.start = ...` converts its value

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.start = ReadsWhileWritten()
    assert s.start == 101

    class WritesWhileRead:
        def __index__(self):
            s.end = 5  # runs while `s[...]` resolves its slice
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s[WritesWhileRead() :]
    assert s.end == 106 and s[0].seq == "A"
