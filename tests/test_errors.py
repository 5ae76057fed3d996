"""The module's exception classes: each kind of error is caught by its own class and by the builtin
a program would catch, with the same text as before."""
import errno
import os
import pickle

import pytest

import sekva
from conftest import bump_mtime
from sekva import Faidx, Fasta


@pytest.fixture
def path(write):
    return write(">a\nACGTACGTAC\nGG\n>b\nTTTT\n")


@pytest.mark.parametrize("cls, builtin", [
    (sekva.FastaNotFoundError, FileNotFoundError),
    (sekva.IndexNotFoundError, FileNotFoundError),
    (sekva.FetchError, KeyError),
    (sekva.FastaIndexingError, ValueError),
    (sekva.FaidxIOError, OSError),
    (sekva.RegionError, ValueError),
])
def test_every_class_is_a_faidx_error_and_its_builtin(cls, builtin):
    assert issubclass(cls, sekva.FaidxError) and issubclass(cls, builtin) and issubclass(cls, Exception)
    assert cls.__module__ == "sekva"
    e = cls("Prefix: text")
    assert str(e) == "Prefix: text"  # no quotes, as KeyError would add
    again = pickle.loads(pickle.dumps(e))
    assert type(again) is cls and str(again) == "Prefix: text"


def test_a_missing_fasta_file(tmp_path):
    missing = str(tmp_path / "nowhere.fa")
    for cls in (Faidx, Fasta):
        with pytest.raises(FileNotFoundError) as info:
            cls(missing)
        assert type(info.value) is sekva.FastaNotFoundError
        assert str(info.value) == f"FastaNotFoundError: {missing}"


def test_a_missing_index_that_may_not_be_built(path):
    with pytest.raises(FileNotFoundError) as info:
        Faidx(path, build_index=False)
    assert type(info.value) is sekva.IndexNotFoundError and str(info.value).startswith("IndexNotFoundError: ")


def test_an_unknown_record_is_a_fetch_error_on_every_path(path):
    fa, fx = Fasta(path), Faidx(path)
    calls = {
        "fa[name]": (lambda: fa["x"], f"x not in {path}."),
        "get_seq": (lambda: fa.get_seq("x", 1, 2), "FetchError: Sequence 'x' not found"),
        "Faidx.fetch": (lambda: fx.fetch("x", 1, 2), "FetchError: Sequence 'x' not found"),
        "small batch": (lambda: fx.fetch_many([("x", 1, 2)]), "FetchError: Sequence 'x' not found"),
    }
    for what, (call, text) in calls.items():
        with pytest.raises(KeyError) as info:
            call()
        assert type(info.value) is sekva.FetchError, what
        assert str(info.value) == text, what


def test_array_methods_raise_fetch_errors_with_their_text(path):
    np = pytest.importorskip("numpy")
    fa = Fasta(path)
    with pytest.raises(KeyError) as info:
        fa.fetch_array([("a", 1, 4), ("x", 1, 4)])
    assert type(info.value) is sekva.FetchError
    assert str(info.value) == "region 1: Sequence 'x' not found"
    assert np  # the method ran with numpy present


@pytest.mark.parametrize("count", [1000, 5000])
def test_a_large_batch_keeps_its_runtime_error_and_carries_the_typed_cause(path, count):
    regions = [("a", 1, 4)] * (count - 1) + [("x", 1, 2)]
    with pytest.raises(RuntimeError) as info:
        Faidx(path).fetch_many(regions)
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"Error fetching region {count - 1}: Fetch error: Sequence 'x' not found"
    cause = info.value.__cause__
    assert type(cause) is sekva.FetchError and str(cause) == "FetchError: Sequence 'x' not found"


def test_a_region_refused_by_strict_bounds_in_a_batch_carries_a_region_error(path):
    with pytest.raises(RuntimeError) as info:
        Faidx(path, strict_bounds=True).fetch_many([("a", 1, 4)] * 1500 + [("a", 5, 99)])
    assert type(info.value.__cause__) is sekva.RegionError
    assert isinstance(info.value.__cause__, ValueError)


def test_a_broken_index_is_an_indexing_error(path):
    with open(path + ".fai", "w") as f:
        f.write("a\tnot-a-number\t3\t10\t11\n")
    bump_mtime(path + ".fai", 5)
    with pytest.raises(ValueError) as info:
        Faidx(path)
    assert type(info.value) is sekva.FastaIndexingError and str(info.value).startswith("FastaIndexingError: ")


def test_io_errors_carry_errno(tmp_path):
    directory = tmp_path / "dir.fa"
    directory.mkdir()
    with pytest.raises(OSError) as info:
        Faidx(str(directory))
    assert type(info.value) is sekva.FaidxIOError
    assert info.value.errno == errno.EISDIR and str(info.value) == "IOError: Is a directory (os error 21)"


def test_io_errors_without_a_system_number_have_errno_none(path):
    fa = Faidx(path, mutable=True)
    with open(path, "r+b") as f:
        f.truncate(6)
    with pytest.raises(OSError) as info:
        fa.fetch("a", 1, 10)
    assert type(info.value) is sekva.FaidxIOError and info.value.errno is None
    assert str(info.value).startswith("IOError: the FASTA file shrank while it was open")
