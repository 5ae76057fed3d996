"""fetch_array, fetch_onehot and fetch_ragged against fetch/get_seq, -s and a plain Python one-hot."""
import random
import subprocess
import sys
import textwrap

import pytest

from sekva import Faidx, Fasta, Sequence

np = pytest.importorskip("numpy")


def random_genome(rng, newline="\n"):
    records = {}
    for i in range(6):
        records[f"r{i}"] = "".join(rng.choices("ACGTNacgtnRY", k=rng.choice([0, 1, 7, 150, 333])))
    text = ""
    for name, bases in records.items():
        width = rng.choice([7, 60])
        text += f">{name}{newline}" + "".join(bases[i : i + width] + newline for i in range(0, len(bases), width))
    return records, text


@pytest.fixture(params=["\n", "\r\n"])
def genome(write, request):
    rng = random.Random(31)
    records, text = random_genome(rng, request.param)
    return records, write(text)


def window_text(bases, first, width, pad):
    return "".join(bases[p - 1] if 1 <= p <= len(bases) else pad for p in range(first, first + width))


def centred(start, end, width):
    return start + ((end - start + 1) - width) // 2


def random_regions(rng, records, count):
    names = list(records)
    out = []
    for _ in range(count):
        name = rng.choice(names)
        length = len(records[name])
        start = rng.randint(-5, length + 5)
        out.append((name, start, start + rng.randint(0, 40)))
    return out


def rows_text(array):
    return [bytes(row).decode("ascii") for row in array]


@pytest.mark.parametrize("cls", [Fasta, Faidx])
@pytest.mark.parametrize("upper", [False, True])
def test_fetch_array_matches_the_text(genome, cls, upper):
    records, path = genome
    rng = random.Random(4)
    fa = cls(path, sequence_always_upper=upper)
    regions = random_regions(rng, records, 300)
    rc = [rng.choice([True, False, "+", "-"]) for _ in regions]
    width = 25
    got = rows_text(fa.fetch_array(regions, width=width, rc=rc, pad="-"))
    for (name, start, end), strand, row in zip(regions, rc, got):
        want = window_text(records[name], centred(start, end, width), width, "-")
        want = want.upper() if upper else want
        if strand in (True, "-"):
            want = (-Sequence(seq=want)).seq
        assert row == want


def test_rows_inside_records_equal_fetches(genome):
    records, path = genome
    fa = Fasta(path)
    rng = random.Random(8)
    regions = [(n, s, s + 9) for n in records if len(records[n]) >= 10
               for s in [rng.randint(1, len(records[n]) - 9)]] * 20
    rows = rows_text(fa.fetch_array(regions, rc=[i % 2 == 0 for i in range(len(regions))]))
    for i, ((name, start, end), row) in enumerate(zip(regions, rows)):
        assert row == fa.get_seq(name, start, end, rc=i % 2 == 0).seq


def test_strand_columns_take_a_dot_for_no_strand(genome):
    records, path = genome
    fa = Fasta(path)
    name = next(n for n in records if len(records[n]) >= 10)
    regions = [(name, 1, 10)] * 3
    rows = rows_text(fa.fetch_array(regions, rc=["+", "-", "."]))
    assert rows == [fa.get_seq(name, 1, 10).seq, fa.get_seq(name, 1, 10, rc=True).seq, fa.get_seq(name, 1, 10).seq]


def python_onehot(text, alphabet):
    out = np.zeros((len(text), len(alphabet)), dtype=np.uint8)
    for j, c in enumerate(text):
        k = alphabet.upper().find(c.upper()) if c != "\0" else -1
        if k >= 0:
            out[j, k] = 1
    return out


@pytest.mark.parametrize("dtype", ["uint8", "float32", "float16", "bool", np.float32])
@pytest.mark.parametrize("channels_last", [True, False])
@pytest.mark.parametrize("alphabet", ["ACGT", "acgtn"])
def test_fetch_onehot_matches_a_python_onehot(genome, dtype, channels_last, alphabet):
    records, path = genome
    fa = Faidx(path)
    rng = random.Random(9)
    regions = random_regions(rng, records, 120)
    rc = [rng.random() < 0.5 for _ in regions]
    width = 31
    got = fa.fetch_onehot(regions, width=width, rc=rc, alphabet=alphabet, dtype=dtype, channels_last=channels_last)
    assert got.dtype == np.dtype(dtype)
    assert got.shape == ((len(regions), width, len(alphabet)) if channels_last else (len(regions), len(alphabet), width))
    for (name, start, end), strand, row in zip(regions, rc, got):
        text = window_text(records[name], centred(start, end, width), width, "\0")
        if strand:  # the reverse complement; positions outside the record stay outside
            text = "".join("\0" if c == "\0" else (-Sequence(seq=c)).seq for c in reversed(text))
        want = python_onehot(text, alphabet)
        assert np.array_equal(row if channels_last else row.T, want.astype(got.dtype))


def test_acgt_reverse_complement_is_the_row_reversed_with_channels_reversed(genome):
    records, path = genome
    fa = Fasta(path)
    regions = random_regions(random.Random(2), records, 50)
    plain = fa.fetch_onehot(regions, width=20)
    reverse = fa.fetch_onehot(regions, width=20, rc=True)
    assert np.array_equal(reverse, plain[:, ::-1, ::-1])


@pytest.mark.parametrize("upper", [False, True])
def test_fetch_ragged_matches_a_large_batch(genome, upper):
    records, path = genome
    fa = Fasta(path, default_seq="N")
    rng = random.Random(5)
    regions = [(n, max(s, 0), max(e, 0)) for n, s, e in random_regions(rng, records, 40)]
    rc = [rng.random() < 0.5 for _ in regions]
    data, offsets = fa.fetch_ragged(regions, rc=rc, upper=upper)
    assert offsets.dtype == np.int64 and len(offsets) == len(regions) + 1 and offsets[0] == 0
    # fetch_many's parallel rules hold from 1000 regions on, whatever the count here
    batch = fa.fetch_many((regions * 30)[:1200])[: len(regions)]
    for i, (s, strand) in enumerate(zip(batch, rc)):
        want = (-s).seq if strand else s.seq
        assert bytes(data[offsets[i] : offsets[i + 1]]).decode() == (want.upper() if upper else want)


def test_columns_and_arrays_of_any_integer_type(genome):
    records, path = genome
    fa = Fasta(path)
    regions = random_regions(random.Random(12), records, 64)
    names = [n for n, _, _ in regions]
    want = fa.fetch_array(regions, width=16)
    for kind in (np.int64, np.int32, np.int16):
        starts = np.array([s for _, s, _ in regions], dtype=kind)
        ends = np.array([e for _, _, e in regions], dtype=kind)
        assert np.array_equal(fa.fetch_array(names=names, starts=starts, ends=ends, width=16), want)
    starts = np.array([[s, -1] for _, s, _ in regions])[:, 0]  # a strided view
    ends = [e for _, _, e in regions]
    assert np.array_equal(fa.fetch_array(names=np.array(names, dtype=object), starts=starts, ends=ends, width=16), want)
    strands = np.array([i % 3 == 0 for i in range(len(regions))])
    assert np.array_equal(fa.fetch_array(regions, width=16, rc=strands),
                          fa.fetch_array(regions, width=16, rc=list(strands)))


def test_pandas_columns(genome):
    pd = pytest.importorskip("pandas")
    records, path = genome
    fa = Fasta(path)
    regions = random_regions(random.Random(13), records, 30)
    df = pd.DataFrame(regions, columns=["chrom", "start", "end"])
    got = fa.fetch_array(names=df["chrom"], starts=df["start"], ends=df["end"], width=12)
    assert np.array_equal(got, fa.fetch_array(regions, width=12))


def test_out_is_filled_and_returned(genome):
    records, path = genome
    fa = Fasta(path)
    regions = random_regions(random.Random(14), records, 10)
    out = np.full((10, 8), 7, dtype=np.uint8)
    assert fa.fetch_array(regions, width=8, out=out) is out
    assert np.array_equal(out, fa.fetch_array(regions, width=8))
    hot = np.empty((10, 4, 8), dtype=np.float32)
    assert fa.fetch_onehot(regions, width=8, dtype="float32", channels_last=False, out=hot) is hot


@pytest.mark.parametrize("out", [
    np.zeros((10, 9), dtype=np.uint8), np.zeros((10, 8), dtype=np.int8), np.zeros((8, 10), dtype=np.uint8).T,
    np.zeros(80, dtype=np.uint8), np.zeros((10, 8), dtype=np.uint8)[:, :],
])
def test_wrong_out_is_refused_before_anything_is_written(genome, out):
    records, path = genome
    fa = Fasta(path)
    regions = random_regions(random.Random(15), records, 10)
    if out.shape == (10, 8) and out.dtype == np.uint8 and out.flags.c_contiguous:
        fa.fetch_array(regions, width=8, out=out)  # the right one is fine
        return
    before = out.copy()
    with pytest.raises(ValueError, match=r"^argument 'out': expected a writable C-contiguous array of shape \(10, 8\) and dtype uint8$"):
        fa.fetch_array(regions, width=8, out=out)
    assert np.array_equal(out, before)


@pytest.mark.parametrize("call, exc, message", [
    (lambda fa: fa.fetch_array([("r1", 1, 5), ("nope", 1, 5)]), KeyError, "region 1: Sequence 'nope' not found"),
    (lambda fa: fa.fetch_array([("r1", 1, 5), ("r1", 6, 5)], width=4), ValueError, "region 1: start 6 is greater than end 5"),
    (lambda fa: fa.fetch_array([("r1", 1, 5), ("r1", 1, 6)]), ValueError, "region 1: 6 bases where region 0 has 5"),
    (lambda fa: fa.fetch_array([("r1", 1, 5)] * 2, rc=[True, "x"]), ValueError, r"rc\[1\]: expected a bool, '\+', '-' or '\.'"),
    (lambda fa: fa.fetch_array([("r1", 1, 5)] * 2, rc=[True]), ValueError, "rc has 1 items for 2 regions"),
    (lambda fa: fa.fetch_array(names=["r1"], starts=[1, 2], ends=[3]), ValueError, "different lengths"),
    (lambda fa: fa.fetch_array([("r1", 1, 5)], pad="NN"), ValueError, "argument 'pad': expected one ASCII character"),
    (lambda fa: fa.fetch_array([("r1", 1, 5)], pad="\u00e9"), ValueError, "argument 'pad'"),
    (lambda fa: fa.fetch_onehot([("r1", 1, 5)], alphabet="ACGa"), ValueError, "letter 'a' is repeated"),
    (lambda fa: fa.fetch_onehot([("r1", 1, 5)], alphabet="AC\u00e9"), ValueError, "letters must be ASCII"),
    (lambda fa: fa.fetch_onehot([("r1", 1, 5)], dtype="int64"), ValueError, "unknown dtype"),
    (lambda fa: fa.fetch_ragged([("r1", 1, 5), ("nope", 1, 2)]), KeyError, "region 1: Sequence 'nope' not found"),
    (lambda fa: fa.fetch_ragged([("r1", 3, 2)]), ValueError, "region 0: start 3 is greater than end 2"),
    (lambda fa: fa.fetch_array([("r1", 1, 5)], names=["r1"], starts=[1], ends=[5]), TypeError, "not both"),
    (lambda fa: fa.fetch_array(names=["r1"], starts=[1]), TypeError, "all of names="),
    (lambda fa: fa.fetch_array([("r1", 1, 5)], 5), TypeError, "positional argument"),
    (lambda fa: fa.fetch_array([("r1", 1.5, 5)]), TypeError, "argument 'regions'"),
    (lambda fa: fa.fetch_array(names=["r1"], starts=np.array([1.0]), ends=[5]), TypeError, "argument 'starts'"),
])
def test_bad_input_is_refused_before_writing(genome, call, exc, message):
    _, path = genome
    with pytest.raises(exc, match=message):
        call(Fasta(path))


def test_strict_bounds_in_ragged_name_the_region(genome):
    _, path = genome
    with pytest.raises(ValueError, match=r"^region 1: Invalid region: Invalid region r1:0-3"):
        Fasta(path, strict_bounds=True).fetch_ragged([("r1", 1, 3), ("r1", 0, 3)])


def test_empty_inputs(genome):
    _, path = genome
    fa = Fasta(path)
    assert fa.fetch_array([]).shape == (0, 0)
    assert fa.fetch_array([], width=5).shape == (0, 5)
    data, offsets = fa.fetch_ragged([])
    assert len(data) == 0 and list(offsets) == [0]


def test_large_batches_run_on_the_workers(write):
    rng = random.Random(21)
    bases = "".join(rng.choices("ACGT", k=200_000))
    path = write(">c\n" + "".join(bases[i : i + 60] + "\n" for i in range(0, len(bases), 60)))
    fa = Fasta(path)
    starts = np.array([rng.randint(-500, 200_500) for _ in range(20_000)])
    got = fa.fetch_array(names=["c"] * len(starts), starts=starts, ends=starts + 99, width=120, rc=True)
    for i in rng.sample(range(len(starts)), 200):
        want = window_text(bases, centred(int(starts[i]), int(starts[i]) + 99, 120), 120, "N")
        assert bytes(got[i]).decode() == (-Sequence(seq=want)).seq


def test_the_module_imports_and_refuses_clearly_without_numpy(write):
    path = write(">a\nACGT\n")
    code = textwrap.dedent(f"""
        import sys
        sys.modules["numpy"] = None  # as if it were not installed
        import sekva
        fa = sekva.Fasta({path!r})
        for call in (lambda: fa.fetch_array([("a", 1, 2)]), lambda: fa.fetch_ragged([("a", 1, 2)])):
            try:
                call()
            except ImportError as e:
                print(e)
        """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == [
        "Fasta.fetch_array() makes numpy arrays, and numpy is not installed: pip install numpy",
        "Fasta.fetch_ragged() makes numpy arrays, and numpy is not installed: pip install numpy",
    ], out.stderr
