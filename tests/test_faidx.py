"""The Faidx class: constructor conversions, repr, keys, membership and bad calls."""
import inspect
import platform
import sys

import pytest

import sekva

from sekva import Faidx


@pytest.fixture
def path(write):
    return write(">chr1\nACGT\n>chr2\nGG\n")


def test_defaults_and_positional_options(path):
    assert sorted(Faidx(path).keys) == ["chr1", "chr2"]
    assert Faidx(path, None, False).fetch("chr1", 1, 2).seq == "AC"
    params = list(inspect.signature(Faidx).parameters)
    assert params[:3] == ["filename", "indexname", "as_raw"] and len(params) == 17


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(as_raw=1), TypeError, "argument 'as_raw': 'int' object cannot be converted to 'PyBool'"),
        (dict(duplicate_action=None), TypeError, "argument 'duplicate_action': 'NoneType' object cannot be converted to 'PyString'"),
        (dict(indexname=b"x"), TypeError, "argument 'indexname': expected str or os.PathLike, got bytes"),
        (dict(read_ahead=-1), OverflowError, ""),
        (dict(read_ahead=1.5), TypeError, "argument 'read_ahead': "),
        (dict(rebuild=None), TypeError, "argument 'rebuild': "),
        (dict(as_raw=1, strict_bounds=2), TypeError, "argument 'as_raw'"),
        (dict(nope=1), TypeError, "Faidx.__new__() got an unexpected keyword argument 'nope'"),
    ],
)
def test_constructor_conversions(path, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Faidx(path, **kwargs)
    assert type(info.value) is exc and str(info.value).startswith(message)


def test_accepted_options(path):
    numpy = pytest.importorskip("numpy")
    Faidx(path, as_raw=numpy.bool_(True), key_function=str, filt_function=bool, split_char=None,
          duplicate_action="first", read_ahead=None, read_long_names=numpy.bool_(True))


class _BytesPath:
    def __fspath__(self):
        return b"x.fa"


@pytest.mark.parametrize("given, message", [
    (b"x.fa", "argument 'filename': expected str or os.PathLike, got bytes"),
    (3, "argument 'filename': expected str or os.PathLike, got int"),
    (_BytesPath(), "argument 'filename': expected str or os.PathLike, got bytes from its __fspath__"),
])
def test_filename_must_be_a_str_path(given, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        Faidx(given)
    with pytest.raises(TypeError, match="missing required argument 'filename'"):
        Faidx()


def test_paths_are_accepted_as_path_objects(path, tmp_path):
    import pathlib
    import pickle

    index = tmp_path / "elsewhere.fai"
    for cls in (Faidx, sekva.Fasta):
        fa = cls(pathlib.Path(path), indexname=index)
        assert index.exists()
        assert repr(fa) == f'{cls.__name__}("{path}")'
        again = pickle.loads(pickle.dumps(fa))
        assert repr(again) == repr(fa)


def test_repr_keeps_the_path_as_given(write, tmp_path, monkeypatch):
    write(">a\nAC\n", "x.fa")
    monkeypatch.chdir(tmp_path)
    assert repr(Faidx("x.fa")) == 'Faidx("x.fa")'
    assert repr(Faidx("./x.fa")) == 'Faidx("./x.fa")'


def test_membership_and_keys(path):
    fa = Faidx(path)
    assert "chr1" in fa and "chr3" not in fa
    with pytest.raises(TypeError, match="argument 'name'"):
        1 in fa
    with pytest.raises(AttributeError):
        fa.keys = []
    with pytest.raises(TypeError):
        len(fa)
    with pytest.raises(TypeError):
        fa["chr1"]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda fa: fa.fetch("chr1", -1, 2), OverflowError, ""),
        (lambda fa: fa.fetch("chr1", 1.0, 2), TypeError, "argument 'start'"),
        (lambda fa: fa.fetch(b"chr1", 1, 2), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda fa: fa.fetch("chr1", 1), TypeError, "Faidx.fetch() missing required argument 'end'"),
        (lambda fa: fa.fetch("chr1", 1, 2, 3), TypeError, "Faidx.fetch() takes 3 positional arguments but 4 were given"),
        (lambda fa: fa.fetch("chr1", 1, 2, start=1), TypeError, "multiple values for argument 'start'"),
        (lambda fa: fa.fetch_entire_sequence(name=None), TypeError, "argument 'name'"),
    ],
)
def test_method_argument_errors(path, call, exc, message):
    with pytest.raises(exc) as info:
        call(Faidx(path))
    assert message in str(info.value)


def test_keyword_arguments(path):
    assert Faidx(path).fetch(end=3, name="chr1", start=2).seq == "CG"
    assert Faidx(filename=path).fetch_entire_sequence(name="chr2").seq == "GG"


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="PyPy drops method docstrings of C types")
def test_docstrings():
    assert Faidx.fetch.__text_signature__ == "($self, name, start, end)"
    assert Faidx.fetch_many.__doc__.startswith("High-performance batch fetch for many sequences")
    assert Faidx.fetch_entire_sequence.__doc__.startswith("Ultra-fast method for fetching entire sequences")


def test_names_of_fetched_values_are_plain_str(path):
    class Name(str):
        pass

    fa = Faidx(path)
    for value in (fa.fetch(Name("chr1"), 1, 2), fa.fetch_many([(Name("chr1"), 1, 2)])[0],
                  fa.fetch_many_same_chr(Name("chr1"), [(1, 2)] * 1000)[0]):
        assert type(value.name) is str and value.name == "chr1"


def _members():
    import sekva

    for cls in (sekva.Fasta, sekva.Faidx, sekva.Sequence, sekva.FastaRecord, sekva.FastaIterator,
                sekva.SequenceIterator, sekva.MutableFastaRecord):
        yield cls.__name__, cls
        for name, member in vars(cls).items():
            if not name.startswith("__") or name in ("__reduce__", "__reversed__", "__enter__", "__exit__"):
                yield f"{cls.__name__}.{name}", member


@pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="PyPy drops the docstrings of C methods")
@pytest.mark.parametrize("name, member", list(_members()), ids=[n for n, _ in _members()])
def test_every_class_method_and_property_says_what_it_is(name, member):
    assert member.__doc__ and member.__doc__.strip(), name
