"""Fasta: construction in its own argument order, lookups, listing and retrieval."""
import gc
import inspect
import os
import sys

import pytest

import sekva
from sekva import Fasta, FastaRecord


@pytest.fixture
def path(write):
    return write(">chr1 first\nACGTACGTAC\nGGTT\n>chr2\nAAAAACCCCCGGGGG\n>empty\n")


def test_module_registers_seven_classes_then_its_exceptions_in_order():
    assert sekva.__all__ == ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator",
                             "MutableFastaRecord", "FaidxError", "FastaNotFoundError", "IndexNotFoundError",
                             "FetchError", "FastaIndexingError", "FaidxIOError", "RegionError"]
    assert [n for n in dir(sekva) if callable(getattr(sekva, n)) and not n.startswith("_")] == sorted(sekva.__all__)
    for name in ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"]:
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            getattr(sekva, name)()


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="PyPy builds a new module object on re-import")
def test_reimport_gives_the_same_module():
    import importlib
    import sys

    first = sys.modules.pop("sekva")
    try:
        assert importlib.import_module("sekva") is first
    finally:
        sys.modules["sekva"] = first


def test_signature_and_repr(path, tmp_path, monkeypatch):
    params = list(inspect.signature(Fasta).parameters)
    assert params[:4] == ["filename", "indexname", "default_seq", "key_function"] and len(params) == 17
    monkeypatch.chdir(tmp_path)
    assert repr(Fasta("x.fa")) == 'Fasta("x.fa")'


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), dict(as_raw=1), TypeError, "argument 'as_raw': 'int' object cannot be converted to 'PyBool'"),
        ((), dict(duplicate_action=None), TypeError, "argument 'duplicate_action'"),
        ((), dict(read_ahead=-1), OverflowError, ""),
        ((), dict(read_ahead="x"), TypeError, "argument 'read_ahead'"),
        ((None, 1), {}, TypeError, "argument 'default_seq'"),  # positional order is Fasta's own
        ((), dict(as_raw=1, default_seq=2), TypeError, "argument 'default_seq'"),  # first in Fasta's order
        ((), dict(bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    ],
)
def test_constructor_conversions(path, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Fasta(path, *args, **kwargs)
    assert type(info.value) is exc and message in str(info.value)


def test_options_reach_the_engine(path):
    fa = Fasta(path, None, "N", str, True, False, None, False, None, bool, True, True, "drop", True, True, True)
    s = fa.get_seq("chr1 first", 9, 12)  # keyed by whole header lines
    assert (s.seq, s.start, s.end) == ("ACGG", None, None)


def test_missing_file_writes_no_index(tmp_path):
    with pytest.raises(Exception, match="^FastaNotFoundError: "):
        Fasta(str(tmp_path / "none.fa"))
    assert os.listdir(tmp_path) == []


def test_context_manager_and_close(path):
    with Fasta(path) as fa:
        assert fa.close() is None and fa.close() is None
    assert fa["chr1"][0:2].seq == "AC"
    with pytest.raises(ZeroDivisionError):
        with Fasta(path) as fa:
            1 / 0
    assert Fasta(path).__exit__(1, 2, 3) is None


def test_lookup_by_name_and_position(path):
    fa = Fasta(path)
    names = fa.keys()
    assert sorted(names) == ["chr1", "chr2", "empty"]
    for i, name in enumerate(names):
        assert repr(fa[i]) == repr(fa[name]) == f'FastaRecord("{name}")'
    assert type(fa["chr1"]) is FastaRecord
    with pytest.raises(IndexError, match="^Index out of range$"):
        fa[3]
    with pytest.raises(KeyError) as info:
        fa["chrX"]
    assert info.value.args == (f"chrX not in {path}.",)
    for key in (-1, 1.5, None, slice(0, 1)):
        with pytest.raises(TypeError, match="^Key must be string or integer$"):
            fa[key]


def test_membership_length_and_listing(path):
    fa = Fasta(path)
    assert "chr1" in fa and "chr" not in fa
    with pytest.raises(TypeError, match="argument 'name'"):
        5 in fa
    assert len(fa) == 14 + 15
    assert [repr(r) for r in fa.values()] == [f'FastaRecord("{n}")' for n in fa.keys()]
    assert [(n, repr(r)) for n, r in fa.items()] == [(n, f'FastaRecord("{n}")') for n in fa.keys()]
    assert [repr(r) for r in fa] == [repr(r) for r in fa.values()]


def test_get_seq(path):
    fa = Fasta(path)
    s = fa.get_seq("chr2", 4, 7)
    assert (s.seq, s.start, s.end, s.comp) == ("AACC", 4, 7, False)
    r = fa.get_seq("chr2", 4, 7, rc=True)
    assert (r.seq, r.start, r.end, r.comp) == ("GGTT", 7, 4, True)
    assert fa.get_seq("chr2", 4, 7, rc=False).seq == fa.get_seq("chr2", 4, 7, None).seq == "AACC"
    with pytest.raises(TypeError, match="argument 'rc'"):
        fa.get_seq("chr2", 4, 7, rc=1)


def test_get_spliced_seq(path):
    fa = Fasta(path)
    s = fa.get_spliced_seq("chr1", [(1, 3), (7, 9)])
    assert (s.seq, s.start, s.end, s.comp) == ("ACGGTA", 1, 9, False)
    r = fa.get_spliced_seq("chr1", [(1, 3), (7, 9)], rc=True)
    assert (r.seq, r.start, r.end, r.comp) == ("TACCGT", 1, 9, False)
    u = fa.get_spliced_seq("chr1", [(7, 9), (1, 3), (2, 3)])
    assert (u.seq, u.start, u.end) == ("GTAACGCG", 7, 3)
    e = fa.get_spliced_seq("unknown", [])
    assert (e.name, e.seq, e.start, e.end, e.comp) == ("unknown", "", None, None, False)
    with pytest.raises(TypeError, match="argument 'intervals'"):
        fa.get_spliced_seq("chr1", [[1, 3]])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        fa.get_spliced_seq("chr1", [(1, 3, 4)])
    with pytest.raises(Exception, match="^FetchError: Sequence 'nope' not found$"):
        fa.get_spliced_seq("nope", [(1, 2)])


@pytest.mark.parametrize("count", [3, 1500])
def test_batches_with_rc(path, count):
    fa = Fasta(path)
    regions = [("chr1", 2, 6), ("chr2", 1, 15), ("chr1", 14, 14)] * (count // 3)
    plain = fa.fetch_many(regions)
    flipped = fa.fetch_many(regions, rc=True)
    for p, f in zip(plain, flipped):
        n = -p
        assert (f.name, f.seq, f.start, f.end, f.comp) == (n.name, n.seq, n.start, n.end, n.comp)
    same = fa.fetch_many_same_chr("chr2", [(1, 5)] * count, rc=True)
    assert (same[0].seq, same[0].start, same[0].end, same[0].comp) == ("TTTTT", 5, 1, True)
    assert fa.fetch_many([]) == [] and fa.fetch_many_same_chr("x", []) == []


def test_batch_argument_order(path):
    fa = Fasta(path)
    with pytest.raises(TypeError, match="argument 'regions'"):
        fa.fetch_many([["chr1", 1, 2]], rc=1)
    with pytest.raises(TypeError, match="argument 'rc'"):
        fa.fetch_many([("chr1", 1, 2)], rc=1)


def test_records_keep_their_fasta_alive(path):
    record = Fasta(path)["chr2"]
    iterator = iter(Fasta(path))
    pieces = iter(Fasta(path)["chr1"])
    gc.collect()
    assert str(record) == "AAAAACCCCCGGGGG"
    assert len(list(iterator)) == 3
    assert "".join(p.seq for p in pieces) == "ACGTACGTACGGTT"


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="PyPy does not collect cycles through C objects")
def test_cycles_through_key_function_are_collected(path):
    import weakref

    class Holder:
        def __call__(self, name):
            return name

    holder = Holder()
    fa = Fasta(path, key_function=holder)
    holder.record = fa["chr1"]
    ref = weakref.ref(holder)
    del holder, fa
    gc.collect()
    assert ref() is None


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_no_reference_leaks(path):
    fa = Fasta(path)
    record = fa["chr1"]
    ops = [
        lambda: fa["chr1"], lambda: fa[0], lambda: list(fa), lambda: fa.items(), lambda: len(fa),
        lambda: fa.get_seq("chr1", 2, 5, rc=True), lambda: fa.get_spliced_seq("chr1", [(1, 2), (4, 5)], rc=True),
        lambda: fa.fetch_many([("chr1", 1, 3)] * 5, rc=True), lambda: record[2:9:2], lambda: record[-1],
        lambda: reversed(record), lambda: list(record), lambda: str(record), lambda: record.unpadded_len,
    ]
    for op in ops:
        for _ in range(50):
            op()
        gc.collect()
        refs = sys.getrefcount(fa), sys.getrefcount(record)
        objects = len(gc.get_objects())
        for _ in range(500):
            op()
        gc.collect()
        assert (sys.getrefcount(fa), sys.getrefcount(record)) == refs
        assert len(gc.get_objects()) - objects < 20
