"""Hostile use of the bulk methods (arrays, record text), of pickles and of files that are not what
they seem: never a crash, a hang or a wrong answer."""
import bz2
import gzip
import io
import lzma
import os
import pickle
import random
import signal
import platform
import threading

import pytest

import sekva

PYPY = platform.python_implementation() == "PyPy"
BASES = "".join(random.Random(5).choice("ACGT") for _ in range(200_000))


@pytest.fixture
def genome(write):
    """A 200-kb record in lines of 60 and a short one."""
    text = ">chr1\n" + "".join(BASES[i : i + 60] + "\n" for i in range(0, len(BASES), 60)) + ">chr2\nACGTACGTAC\n"
    return write(text, "g.fa")


def numpy():
    return pytest.importorskip("numpy")


def column_methods():
    """Each method that reads names=, starts= and ends= columns, called on one region's columns."""
    return {
        "fetch_array": lambda fa, **cols: fa.fetch_array(**cols),
        "fetch_onehot": lambda fa, **cols: fa.fetch_onehot(**cols),
        "fetch_ragged": lambda fa, **cols: fa.fetch_ragged(**cols),
        "fetch_fasta": lambda fa, **cols: fa.fetch_fasta(heads=[">r"] * len(cols.get("regions") or cols["names"]), **cols),
    }


def assert_same(method, got, expected):
    if method == "fetch_fasta":
        assert got == expected
    elif method == "fetch_ragged":
        assert all((a == b).all() for a, b in zip(got, expected))
    else:
        assert (got == expected).all()


def zero_dimensional(kind):
    if kind == "memoryview":
        return memoryview(bytearray(8)).cast("B").cast("q", [])
    np = numpy()
    return np.int64(2) if kind == "numpy scalar" else np.array(2)


@pytest.mark.parametrize("method", sorted(column_methods()))
@pytest.mark.parametrize("kind", ["numpy scalar", "numpy 0-d array", "memoryview"])
@pytest.mark.parametrize("column", ["starts", "ends"])
def test_columns_must_be_one_dimensional(genome, method, kind, column):
    if method != "fetch_fasta":
        numpy()
    cols = {"names": ["chr1"], "starts": [2], "ends": [5]}
    cols[column] = zero_dimensional(kind)
    with pytest.raises(ValueError, match=f"argument '{column}': expected a one-dimensional array"):
        column_methods()[method](sekva.Fasta(genome), **cols)


class Clears:
    """An integer whose __index__ empties the list that holds it (or another one)."""

    def __init__(self, victim, value):
        self.victim, self.value = victim, value

    def __index__(self):
        self.victim.clear()
        return self.value


@pytest.mark.parametrize("method", sorted(column_methods()))
@pytest.mark.parametrize("victim", ["regions", "names", "starts"])
def test_lists_emptied_while_they_are_read_are_read_as_they_were(genome, method, victim):
    if method != "fetch_fasta":
        numpy()
    fa = sekva.Fasta(genome)
    if victim == "regions":
        regs = [("chr1", 1, 5)] * 3
        regs[1] = ("chr1", Clears(regs, 1), 5)
        call = {"regions": regs}
    else:
        names, starts = ["chr1"] * 3, [1, 1, 1]
        starts[1] = Clears(names if victim == "names" else starts, 1)
        call = {"names": names, "starts": starts, "ends": [5, 5, 5]}
    got = column_methods()[method](fa, **call)
    assert_same(method, got, column_methods()[method](fa, regions=[("chr1", 1, 5)] * 3))


def region_readers():
    """Each method that reads a list of region tuples: (the tuple of one good region, the argument's
    name, whether it needs numpy, a call of it on a file and its regions)."""
    triple, pair = ("chr1", 1, 5), (1, 5)
    Fasta, Faidx = sekva.Fasta, sekva.Faidx

    def parallel(good, regions):  # enough regions before the given ones for the workers' path
        return [good] * 1200 + regions if isinstance(regions, list) else regions

    return {
        "fetch_many": (triple, "regions", False, lambda path, regions: Fasta(path).fetch_many(regions)),
        "fetch_many, parallel": (triple, "regions", False,
                                 lambda path, regions: Fasta(path).fetch_many(parallel(triple, regions))),
        "Faidx.fetch_many": (triple, "regions", False, lambda path, regions: Faidx(path).fetch_many(regions)),
        "fetch_many_same_chr": (pair, "regions", False,
                                lambda path, regions: Fasta(path).fetch_many_same_chr("chr1", regions)),
        "fetch_many_same_chr, parallel": (pair, "regions", False, lambda path, regions: Fasta(path).fetch_many_same_chr(
            "chr1", parallel(pair, regions))),
        "get_spliced_seq": (pair, "intervals", False, lambda path, regions: Fasta(path).get_spliced_seq("chr1", regions)),
        "fetch_fasta": (triple, "regions", False, lambda path, regions: Fasta(path).fetch_fasta(regions, [">r"])),
        "fetch_array": (triple, "regions", True, lambda path, regions: Fasta(path).fetch_array(regions)),
        "fetch_ragged": (triple, "regions", True, lambda path, regions: Fasta(path).fetch_ragged(regions)),
    }


def malformed(good):
    """(regions, exception, message for an argument named {}) for each way a list of regions can be wrong."""
    width = len(good)
    return {
        "a str": ("chr1:1-5", TypeError, "argument '{}': Can't extract `str` to `Vec`"),
        "a generator": ((g for g in [good]), TypeError, "argument '{}': 'generator' object cannot be converted to 'Sequence'"),
        "a list for a tuple": ([good, list(good)], TypeError, "argument '{}': 'list' object cannot be converted to 'PyTuple'"),
        "one item too many": ([good, good + (9,)], ValueError,
                              f"expected tuple of length {width}, but got tuple of length {width + 1}"),
        "one item too few": ([good, good[1:]], ValueError,
                             f"expected tuple of length {width}, but got tuple of length {width - 1}"),
        "a float end": ([good, good[:-1] + (5.0,)], TypeError, "argument '{}': 'float' object cannot be interpreted as an integer"),
        "a str end": ([good, good[:-1] + ("5",)], TypeError, "argument '{}': 'str' object cannot be interpreted as an integer"),
    }


@pytest.mark.parametrize("method", sorted(region_readers()))
@pytest.mark.parametrize("case", sorted(malformed(("chr1", 1, 5))))
def test_every_reader_of_regions_refuses_a_malformed_one_alike(genome, method, case):
    good, param, needs_numpy, call = region_readers()[method]
    if needs_numpy:
        numpy()
    regions, exc, message = malformed(good)[case]
    with pytest.raises(exc) as info:
        call(genome, regions)
    assert type(info.value) is exc and str(info.value) == message.format(param)


@pytest.mark.parametrize("method", sorted(m for m, (good, *_) in region_readers().items() if len(good) == 3))
def test_every_reader_of_regions_refuses_a_name_that_is_no_str(genome, method):
    _, _, needs_numpy, call = region_readers()[method]
    if needs_numpy:
        numpy()
    with pytest.raises(TypeError) as info:
        call(genome, [("chr1", 1, 5), (b"chr1", 1, 5)])
    assert str(info.value) == "argument 'regions': 'bytes' object cannot be converted to 'PyString'"


def test_heads_emptied_by_another_thread_are_written_as_given(genome):
    fa = sekva.Fasta(genome)
    regions = [("chr1", 1 + 50 * k, 2000 + 50 * k) for k in range(3000)]
    expected_heads = [f">head number {k} " + "x" * 40 for k in range(len(regions))]
    expected = fa.fetch_fasta(regions, expected_heads)
    for _ in range(5):
        heads = [h.encode().decode() for h in expected_heads]  # fresh objects, owned by the list only
        stop = threading.Event()

        def clear():
            while not stop.is_set() and heads:
                heads.clear()

        thread = threading.Thread(target=clear)
        thread.start()
        try:
            got = fa.fetch_fasta(regions, heads)
        except ValueError as e:  # emptied before the call saw it
            assert "heads has 0 items" in str(e)
            continue
        finally:
            stop.set()
            thread.join()
        assert got == expected


@pytest.mark.parametrize("method", ["fetch_array", "fetch_onehot", "fetch_ragged", "fetch_fasta"])
def test_numpy_bools_are_taken_for_rc(genome, method):
    np = numpy()
    fa = sekva.Fasta(genome)
    call = column_methods()[method]
    for flag in (True, False):
        got = call(fa, names=["chr1"], starts=[1], ends=[8], rc=np.bool_(flag))
        assert_same(method, got, call(fa, names=["chr1"], starts=[1], ends=[8], rc=flag))


# --- fetch_fasta and fetch_bed on files and streams ----------------------------------------------


@pytest.mark.parametrize("cls", [sekva.Fasta, sekva.Faidx])
def test_fetch_fasta_of_a_file_that_shrank_fails(genome, cls):
    fa = cls(genome)
    assert fa.fetch_fasta([("chr1", 60000, 60010)], [">r"]) == f">r\n{BASES[59999:60010]}\n".encode()
    os.truncate(genome, 50_000)
    with pytest.raises(Exception, match="IOError: the FASTA file shrank while it was open"):
        fa.fetch_fasta([("chr1", 60000, 60010)], [">r"])
    # What is still there reads as before.
    assert fa.fetch_fasta([("chr1", 1, 10)], [">r"]) == f">r\n{BASES[:10]}\n".encode()


@pytest.mark.parametrize(
    "opener, reader",
    [
        (lambda p: gzip.open(p, "wb"), gzip.decompress),
        (lambda p: bz2.open(p, "wb"), bz2.decompress),
        (lambda p: lzma.open(p, "wb"), lzma.decompress),
        (lambda p: open(p, "wb", buffering=0), bytes),
        (lambda p: open(p, "wb"), bytes),
        (lambda p: open(p, "w+b"), bytes),
    ],
    ids=["gzip", "bz2", "lzma", "raw", "buffered", "random"],
)
def test_fetch_bed_writes_through_what_the_file_object_is(genome, tmp_path, opener, reader):
    fa = sekva.Fasta(genome)
    bed = b"".join(b"chr1\t%d\t%d\n" % (k * 1000, k * 1000 + 700) for k in range(150))
    expected = fa.fetch_bed(bed, width=60)
    path = tmp_path / "out"
    with opener(path) as out:
        out.write(b"first\n")
        assert fa.fetch_bed(bed, width=60, out=out) is None
        out.write(b"last\n")
    assert reader(path.read_bytes()) == b"first\n" + expected + b"last\n"


def test_fetch_bed_writes_to_streams_without_a_descriptor(genome):
    fa = sekva.Fasta(genome)
    bed = b"chr1\t0\t100\nchr2\t2\t5\n"
    out = io.BytesIO()
    assert fa.fetch_bed(bed, out=out) is None
    assert out.getvalue() == fa.fetch_bed(bed)

    class Trickle(io.RawIOBase):
        """A raw stream that takes at most seven bytes a call."""

        def __init__(self):
            self.taken = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.taken += bytes(b)[:7]
            return min(len(b), 7)

    trickle = Trickle()
    fa.fetch_bed(bed, out=trickle)
    assert bytes(trickle.taken) == fa.fetch_bed(bed)


def test_fetch_bed_refuses_text_streams(genome, tmp_path):
    fa = sekva.Fasta(genome)
    with open(tmp_path / "o.txt", "w") as out:
        with pytest.raises(TypeError, match="argument 'out'.*text stream"):
            fa.fetch_bed(b"chr1\t0\t10\n", out=out)
    with pytest.raises(TypeError, match="argument 'out'"):
        fa.fetch_bed(b"chr1\t0\t10\n", out=object())


def test_fetch_bed_passes_on_what_write_raises(genome):
    class Full(io.RawIOBase):
        def writable(self):
            return True

        def write(self, b):
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space left"):
        sekva.Fasta(genome).fetch_bed(b"chr1\t0\t10\n", out=Full())


@pytest.mark.skipif(PYPY, reason="PyPy's C API layer does not run signal handlers from C code")
def test_fetch_bed_to_a_pipe_nobody_reads_stops_on_a_signal(genome):
    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm

    fa = sekva.Fasta(genome)
    read, write = os.pipe()
    previous = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(Alarm):
            fa.fetch_bed(b"chr1\t0\t200000\n" * 4, out=write)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(read)
        os.close(write)


# --- pickles across working directories -----------------------------------------------------------


@pytest.mark.parametrize("kind", ["Fasta", "Faidx", "FastaRecord", "indexname"])
def test_pickles_reach_the_file_that_was_opened(tmp_path, monkeypatch, kind):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir()
    b.mkdir()
    (a / "g.fa").write_text(">chr1\nAAAA\n")
    (b / "g.fa").write_text(">chr1\nCCCC\n")
    monkeypatch.chdir(a)
    if kind == "indexname":
        handle = sekva.Fasta("g.fa", indexname="own.fai")
    elif kind == "Faidx":
        handle = sekva.Faidx("g.fa")
    else:
        handle = sekva.Fasta("g.fa")
    if kind == "FastaRecord":
        handle = handle["chr1"]
    data = pickle.dumps(handle)
    assert repr(handle).count("g.fa") <= 1 and "/" not in getattr(handle, "filename", "g.fa")
    monkeypatch.chdir(b)
    loaded = pickle.loads(data)

    def bases(h):
        return h.fetch("chr1", 1, 4).seq if isinstance(h, sekva.Faidx) else str(h if kind == "FastaRecord" else h["chr1"])

    assert bases(loaded) == "AAAA"
    if kind == "indexname":
        assert (a / "own.fai").exists() and not (b / "own.fai").exists()
    os.remove(a / "g.fa")
    with pytest.raises(Exception, match="FastaNotFoundError"):
        pickle.loads(data)


# --- text that is not FASTA -------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["abc", "abc\n", "\n", "ACGT\nACGT\n", "; a comment\n"])
@pytest.mark.parametrize("cls", [sekva.Fasta, sekva.Faidx])
def test_text_without_a_header_is_refused(write, text, cls):
    path = write(text, "non.fa")
    with pytest.raises(Exception, match=r"FastaIndexingError: .*non\.fa: no line starts with '>'"):
        cls(path)
    assert not os.path.exists(path + ".fai")


@pytest.mark.parametrize("text, names", [("", []), ("preamble\n>x\nAC\n", ["x"]), (">x\n", ["x"])])
def test_empty_files_and_preambles_still_open(write, text, names):
    assert list(sekva.Fasta(write(text, "ok.fa")).keys()) == names
