"""sekva_ml, the training-data module: read_vcf, GenomeWindows and IntervalDataset held to plain
Python models (windows rebuilt from their coordinates, usable starts by brute force), their
reproducibility with and without DataLoader workers, pickling and refusals."""
import gzip
import itertools
import pickle
import random
import shutil
import subprocess

import pytest

np = pytest.importorskip("numpy")

import sekva  # noqa: E402
from sekva_ml import GenomeWindows, IntervalDataset, read_vcf  # noqa: E402
from sekva_ml import _windows  # noqa: E402

COMPLEMENT = str.maketrans("ACGTRYKMBVDHNacgtrykmbvdhn", "TGCAYRMKVBHDNtgcayrmkvbhdn")


def revcomp(s):
    return s.translate(COMPLEMENT)[::-1]


def onehot(text):
    out = np.zeros((len(text), 4), dtype=np.float32)
    for j, c in enumerate(text.upper()):
        if c in "ACGT":
            out[j, "ACGT".index(c)] = 1
    return out


def window_text(seq, start, width, strand):
    """The bases of [start, start + width) of a record, N outside it, reverse-complemented on '-'."""
    text = "".join(seq[p] if 0 <= p < len(seq) else "N" for p in range(start, start + width))
    return revcomp(text) if strand == "-" else text


def not_acgt(text):
    return sum(c not in "ACGTacgt" for c in text)


def make_records(seed):
    """Records with N runs at their ends and inside, lower case, other IUPAC letters and one record
    too short for the windows used here."""
    rng = random.Random(seed)

    def bases(k):
        return "".join(rng.choices("ACGTacgt", k=k))

    return {
        "chrA": "NNNNN" + bases(300) + "N" * 40 + bases(200) + "RYN" + bases(150) + "NN",
        "chrB": bases(450) + "N" * 3 + bases(90),
        "chrC": "N" * 60 + bases(260),
        "chrD": bases(30),
        "chrE": bases(12) + "N" + bases(400) + "nnnn" + bases(100),
    }


def write_fasta(path, records, line=60):
    path.write_text("".join(f">{n}\n" + "".join(s[j : j + line] + "\n" for j in range(0, len(s), line))
                            for n, s in records.items()))
    return str(path)


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    records = make_records(21)
    return write_fasta(tmp_path_factory.mktemp("ml") / "g.fa", records), records


def usable_starts(records, names, width, exclude=(), max_n=0.0):
    """Brute force: every (name, start) whose window fits, misses every excluded interval and
    holds at most max_n of bases other than ACGT."""
    limit = int(np.floor(max_n * width + 1e-9))
    out = set()
    for name in names:
        seq = records[name]
        for s in range(len(seq) - width + 1):
            if any(n == name and a < b and a < s + width and s < b for n, a, b in exclude):
                continue
            if not_acgt(seq[s : s + width]) <= limit:
                out.add((name, s))
    return out


def check_batch(batch, records, width, n, onehot_rows=True):
    """Every row of x is the window its name, start and strand describe."""
    x, names, starts, strands = batch
    assert len(names) == len(starts) == len(strands) == n
    assert starts.dtype == np.int64 and set(strands.tolist()) <= {"+", "-"}
    for i in range(n):
        seq = records[names[i]]
        assert 0 <= starts[i] <= len(seq) - width
        text = window_text(seq, int(starts[i]), width, strands[i])
        if onehot_rows:
            assert (x[i] == onehot(text)).all(), i
        else:
            assert x[i].tobytes().decode() == text, i


# --- GenomeWindows


@pytest.mark.parametrize("width, max_n, exclude", [
    (100, 0.0, []),
    (100, 0.05, [("chrA", 0, 20), ("chrB", 200, 201), ("chrE", 300, 350), ("chrZ", 0, 10)]),
    (250, 0.2, [("chrA", 100, 100), ("chrA", 600, 620), ("chrA", 610, 700)]),
    (37, 1.0, [("chrB", 0, 540)]),
])
def test_windows_come_from_every_usable_start_and_no_other(genome, width, max_n, exclude):
    path, records = genome
    names = ["chrA", "chrB", "chrC", "chrD", "chrE"]
    want = usable_starts(records, names, width, exclude, max_n)
    columns = ([e[0] for e in exclude], [e[1] for e in exclude], [e[2] for e in exclude]) if exclude else None
    gw = GenomeWindows(path, width, exclude=columns, max_n=max_n, seed=5, batch_size=500)
    seen = set()
    for _ in range(40):
        x, batch_names, starts, _ = gw.sample()
        seen |= set(zip(batch_names.tolist(), starts.tolist()))
    assert seen <= want, sorted(seen - want)[:5]
    assert seen == want, f"{len(want - seen)} usable starts never drawn"


@pytest.mark.parametrize("onehot_rows, dtype", [(True, "float32"), (True, "uint8"), (False, "uint8")])
@pytest.mark.parametrize("rc", [0.0, 0.5, 1.0])
def test_rows_are_the_windows_of_their_coordinates(genome, onehot_rows, dtype, rc):
    path, records = genome
    gw = GenomeWindows(path, 64, max_n=0.1, rc=rc, seed=3, onehot=onehot_rows, dtype=dtype, batch_size=50)
    for k in range(4):
        batch = gw.batch(k)
        assert batch[0].dtype == np.dtype(dtype)
        assert batch[0].shape == ((50, 64, 4) if onehot_rows else (50, 64))
        check_batch(batch, records, 64, 50, onehot_rows)
        minus = (batch[3] == "-").mean()
        assert minus == rc if rc in (0.0, 1.0) else 0 < minus < 1


def test_reverse_complement_rows_mirror_the_forward_rows(genome):
    path, _ = genome
    forward = GenomeWindows(path, 80, rc=0.0, seed=9, max_n=0.5).sample(300)
    reverse = GenomeWindows(path, 80, rc=1.0, seed=9, max_n=0.5).sample(300)
    assert (forward[2] == reverse[2]).all() and (forward[1] == reverse[1]).all()
    assert (reverse[0] == forward[0][:, ::-1, ::-1]).all()


@pytest.mark.parametrize("split, want", [
    ("train", {"chrA", "chrB"}),
    ("valid", {"chrC", "chrD"}),
    ("test", {"chrE"}),
])
def test_holdout_records_never_leak(genome, split, want):
    path, _ = genome
    holdout = {"valid": ["chrC", "chrD"], "test": ["chrE"]}
    records = ["chrA", "chrB", "chrC", "chrD", "chrE"] if split != "train" else None
    gw = GenomeWindows(path, 20, records=records, holdout=holdout, split=split, max_n=1.0, seed=1)
    if split == "test":
        holdout["test"].append("chrA")   # the lists were read when it was made
    seen = set()
    for k in range(10):
        seen |= set(gw.batch(k)[1].tolist())
    assert seen == want


def test_records_limit_the_training_split(genome):
    path, _ = genome
    gw = GenomeWindows(path, 20, records=["chrB", "chrC"], holdout={"valid": ["chrC"]}, max_n=1.0)
    assert gw.records == ["chrB"] and set(gw.sample(200)[1].tolist()) == {"chrB"}


def test_draws_are_weighted_by_usable_length(genome):
    path, records = genome
    width = 100
    gw = GenomeWindows(path, width, max_n=1.0, seed=2, batch_size=2000)
    names = np.concatenate([gw.batch(k)[1] for k in range(10)])
    usable = {n: len(s) - width + 1 for n, s in records.items() if len(s) >= width}
    total = sum(usable.values())
    for name, count in usable.items():
        share = (names == name).mean()
        assert abs(share - count / total) < 0.03, (name, share, count / total)


@pytest.mark.parametrize("make", [
    lambda path: path,
    lambda path: sekva.Fasta(path),
    lambda path: sekva.Faidx(path),
])
def test_genome_given_as_path_fasta_or_faidx(genome, make):
    path, records = genome
    want = GenomeWindows(path, 50, rc=0.5, seed=4, max_n=0.1).batch(2)
    got = GenomeWindows(make(path), 50, rc=0.5, seed=4, max_n=0.1).batch(2)
    assert all((a == b).all() for a, b in zip(want, got))


def test_same_seed_same_batches_other_seed_other_batches(genome):
    path, _ = genome

    def run(seed, epoch=0):
        gw = GenomeWindows(path, 30, rc=0.5, seed=seed, max_n=0.2, batch_size=16)
        gw.set_epoch(epoch)
        return [gw.sample() for _ in range(3)], [gw.batch(k) for k in (2, 0, 1)]

    def same(a, b):
        return all((u == v).all() for p, q in zip(a, b) for u, v in zip(p, q))

    samples, batches = run(7)
    again_samples, again_batches = run(7)
    assert same(samples, again_samples) and same(batches, again_batches)
    other_samples, other_batches = run(8)
    assert not same(samples, other_samples) and not same(batches, other_batches)
    assert not same(batches, run(7, epoch=1)[1])
    # batch k does not depend on which batches were drawn before it
    gw = GenomeWindows(path, 30, rc=0.5, seed=7, max_n=0.2, batch_size=16)
    assert same([gw.batch(0)], [batches[1]])


def test_iteration_yields_batches_in_order(genome):
    path, _ = genome
    gw = GenomeWindows(path, 30, seed=3, max_n=0.2, batch_size=8, batches=5)
    assert len(gw) == 5
    got = list(gw)
    assert len(got) == 5
    assert all((g[2] == gw.batch(k)[2]).all() for k, g in enumerate(got))
    endless = GenomeWindows(path, 30, seed=3, max_n=0.2, batch_size=8)
    assert all((g[2] == gw.batch(k)[2]).all() for k, g in enumerate(itertools.islice(endless, 5)))
    with pytest.raises(TypeError, match="endless"):
        len(endless)


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_windows_pickle_with_their_streams(genome, protocol):
    path, _ = genome
    gw = GenomeWindows(sekva.Fasta(path), 40, rc=0.5, seed=11, max_n=0.1, exclude=[["chrA"], [0], [200]])
    gw.sample()
    copy = pickle.loads(pickle.dumps(gw, protocol=protocol))
    assert all((a == b).all() for a, b in zip(gw.sample(), copy.sample()))
    assert all((a == b).all() for a, b in zip(gw.batch(3), copy.batch(3)))


def test_n_index_matches_the_records_across_chunk_boundaries(genome, monkeypatch):
    path, records = genome
    monkeypatch.setattr(_windows, "_CHUNK", 7)
    monkeypatch.setattr(_windows, "_CHUNKS_PER_CALL", 3)
    monkeypatch.setattr(_windows, "_n_runs_cache", {})
    fasta = sekva.Fasta(path)
    for name, seq in records.items():
        starts, ends = _windows.n_runs(fasta, name, len(seq))
        want = [(m.start(), m.end()) for m in __import__("re").finditer("[^ACGTacgt]+", seq)]
        assert list(zip(starts.tolist(), ends.tolist())) == want, name


def test_a_changed_file_gets_a_new_n_index(tmp_path):
    path = tmp_path / "g.fa"
    write_fasta(path, {"r": "ACGT" * 50})
    assert GenomeWindows(str(path), 10, seed=1).sample(5)[0].sum() == 50
    write_fasta(path, {"r": "N" * 100 + "ACGTACGTAC" + "N" * 90})
    gw = GenomeWindows(str(path), 10, seed=1)
    assert set(gw.sample(20)[2].tolist()) == {100}


def test_n_index_kept_on_disk_is_used_and_renewed(genome, tmp_path, monkeypatch):
    path, records = genome
    cache = tmp_path / "cache"
    cache.mkdir()
    monkeypatch.setattr(_windows, "_n_runs_cache", {})
    first = GenomeWindows(path, 20, max_n=0.0, seed=4, cache_dir=str(cache)).batch(1)
    files = {str(np.load(f)["key"]).split(", ")[2].strip("'"): f for f in cache.iterdir()}
    assert sorted(files) == sorted(records)
    # a process with an empty memory cache reads the files, not the bases: a file saying that
    # chrD is all N keeps chrD out
    with np.load(files["chrD"]) as f:
        key = f["key"]
    np.savez(files["chrD"], key=key, starts=np.array([0]), ends=np.array([30]))
    monkeypatch.setattr(_windows, "_n_runs_cache", {})
    names = np.concatenate([GenomeWindows(path, 20, seed=4, cache_dir=str(cache)).batch(k)[1] for k in range(20)])
    assert "chrD" not in names and "chrA" in names
    # a damaged file is made again from the bases
    files["chrD"].write_bytes(b"not a numpy file")
    monkeypatch.setattr(_windows, "_n_runs_cache", {})
    again = GenomeWindows(path, 20, max_n=0.0, seed=4, cache_dir=str(cache)).batch(1)
    assert all((a == b).all() for a, b in zip(first, again))
    with np.load(files["chrD"]) as f:
        assert f["starts"].tolist() == [] and f["ends"].tolist() == []


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(split="valid"), ValueError, "split must be 'train' or one of"),
    (dict(holdout={"valid": ["chrQ"]}), KeyError, "chrQ"),
    (dict(holdout={"train": ["chrA"]}), ValueError, "cannot name a split 'train'"),
    (dict(records=["chrA", "nope"]), KeyError, "nope"),
    (dict(records="chrA"), TypeError, "list of record names"),
    (dict(holdout={"valid": ["chrA", "chrB", "chrC", "chrD", "chrE"]}), ValueError, "has no records"),
    (dict(width=10_000), ValueError, "no window of 10000 bases fits"),
    (dict(exclude=[["chrA", "chrB", "chrC", "chrD", "chrE"], [0] * 5, [999] * 5]), ValueError, "no window"),
    (dict(records=["chrC"], width=270, max_n=0.0), ValueError, "fewer than one window"),
    (dict(max_n=1.5), ValueError, "max_n must be a probability"),
    (dict(rc=-0.1), ValueError, "rc must be a probability"),
    (dict(width=0), ValueError, "width must be a positive integer"),
    (dict(seed=-1), ValueError, "seed must be"),
    (dict(dtype="int32"), ValueError, "dtype must be one of"),
    (dict(batch_size=0), ValueError, "batch_size must be a positive integer"),
    (dict(exclude=[["chrA"], [10], [5]]), ValueError, "exclude row 0"),
])
def test_windows_refuse_bad_arguments(genome, kwargs, error, message):
    path, _ = genome
    kwargs = dict(dict(width=20), **kwargs)
    with pytest.raises(error, match=message):
        gw = GenomeWindows(path, **kwargs)
        gw.sample()


def test_exclusions_read_from_a_bed_file(genome, tmp_path):
    path, records = genome
    bed = tmp_path / "x.bed"
    bed.write_text("track name=blacklist\n# gaps\nchrA\t0\t400\tgap\t0\t+\r\n\nchrB\t10\t540\tx\t0\tHigh Signal\n"
                   "chrC\t0\t320\n")
    gw = GenomeWindows(path, 50, exclude=str(bed), max_n=1.0, seed=2, batch_size=400)
    seen = set()
    for k in range(30):
        seen |= set(zip(*[a.tolist() for a in gw.batch(k)[1:3]]))
    assert seen == usable_starts(records, records, 50, [("chrA", 0, 400), ("chrB", 10, 540), ("chrC", 0, 320)], 1.0)
    bed.write_text("chrA\tten\t20\n")
    with pytest.raises(ValueError, match="line 1: start and end must be integers"):
        GenomeWindows(path, 50, exclude=str(bed))


# --- IntervalDataset


@pytest.fixture(scope="module")
def intervals(genome):
    path, records = genome
    rng = random.Random(8)
    rows = []
    for _ in range(300):
        name = rng.choice(list(records))
        start = rng.randint(0, len(records[name]))
        end = min(len(records[name]), start + rng.randint(0, 90))
        rows.append((name, start, end, rng.choice("+-.")))
    return rows


def columns(rows, strands=True):
    cols = [[r[i] for r in rows] for i in range(4 if strands else 3)]
    return tuple(cols)


@pytest.mark.parametrize("jitter, rc", [(0, 0.0), (7, 0.0), (3, 0.5), (0, 1.0)])
def test_interval_windows_are_centred_shifted_and_flipped_within_bounds(genome, intervals, jitter, rc):
    path, records = genome
    width = 41
    labels = np.arange(len(intervals)) * 10
    ds = IntervalDataset(path, columns(intervals), width, labels=labels, jitter=jitter, rc=rc, seed=6)
    index = list(range(len(intervals)))
    names, starts, strands = ds.coordinates(index)
    x, got_labels = ds[index]
    assert x.shape == (len(intervals), width, 4) and x.dtype == np.float32
    assert (got_labels == labels).all()
    shifts, flips = set(), set()
    for i, (name, start, end, strand) in enumerate(intervals):
        centred = start + (end - start - width) // 2
        shift = int(starts[i]) - centred
        assert names[i] == name and -jitter <= shift <= jitter
        shifts.add(shift)
        flipped = (strands[i] == "-") != (strand == "-")
        flips.add(flipped)
        assert (x[i] == onehot(window_text(records[name], int(starts[i]), width, strands[i]))).all(), i
    assert shifts == set(range(-jitter, jitter + 1))
    assert flips == ({False} if rc == 0 else {True} if rc == 1 else {False, True})


def test_items_batches_and_getitems_agree(genome, intervals):
    path, records = genome
    labels = np.arange(len(intervals) * 2).reshape(-1, 2)
    ds = IntervalDataset(path, columns(intervals), 25, labels=labels, jitter=4, rc=0.5, seed=2)
    picks = [5, 0, 299, 5, -1]
    items = ds.__getitems__(picks)
    x, y = ds[picks]
    for j, i in enumerate(picks):
        one_x, one_y = ds[i]
        assert (one_x == x[j]).all() and (items[j][0] == x[j]).all()
        assert (one_y == labels[i]).all() and (items[j][1] == y[j]).all()
    plain = IntervalDataset(path, columns(intervals), 25, jitter=4, rc=0.5, seed=2, onehot=False)
    codes = plain[picks]
    assert codes.dtype == np.uint8 and codes.shape == (5, 25)
    for row, name, start, strand in zip(codes, *plain.coordinates(picks)):
        assert row.tobytes().decode() == window_text(records[name], int(start), 25, strand)


def test_bed_path_and_columns_give_the_same_dataset(genome, intervals, tmp_path):
    path, _ = genome
    bed = tmp_path / "i.bed"
    bed.write_text("browser position chrA:1-10\n" + "".join(f"{n}\t{s}\t{e}\tx\t0\t{t}\n" for n, s, e, t in intervals))
    a = IntervalDataset(path, str(bed), 33, jitter=2, rc=0.3, seed=1)
    b = IntervalDataset(path, columns(intervals), 33, jitter=2, rc=0.3, seed=1)
    assert (a[range(len(a))] == b[range(len(b))]).all()
    unstranded = IntervalDataset(path, columns(intervals, strands=False), 33)
    assert set(unstranded.coordinates(range(len(intervals)))[2].tolist()) == {"+"}


def test_interval_randomness_is_reproducible_per_epoch(genome, intervals):
    path, _ = genome

    def starts(seed, epoch=0):
        ds = IntervalDataset(path, columns(intervals), 20, jitter=10, rc=0.5, seed=seed)
        ds.set_epoch(epoch)
        names, starts, strands = ds.coordinates(range(len(intervals)))
        return starts.tolist(), strands.tolist()

    assert starts(1) == starts(1)
    assert starts(1) != starts(2)
    assert starts(1, epoch=3) == starts(1, epoch=3) != starts(1)


def test_interval_dataset_pickles(genome, intervals):
    path, _ = genome
    ds = IntervalDataset(sekva.Faidx(path), columns(intervals), 20, labels=list(range(300)), jitter=3, rc=0.5)
    copy = pickle.loads(pickle.dumps(ds))
    assert (copy[range(10)][0] == ds[range(10)][0]).all()


@pytest.mark.parametrize("make, error, message", [
    (lambda p, rows: IntervalDataset(p, [["chrQ"], [0], [5]], 10), KeyError, "row 0 names 'chrQ'"),
    (lambda p, rows: IntervalDataset(p, columns(rows), 10, labels=[1, 2]), ValueError, "one row per interval"),
    (lambda p, rows: IntervalDataset(p, columns(rows), 10, jitter=-1), ValueError, "jitter"),
    (lambda p, rows: IntervalDataset(p, [["chrA"], [5], [2]], 10), ValueError, "row 0: start 5 and end 2"),
    (lambda p, rows: IntervalDataset(p, [["chrA"], [5], [9], ["*"]], 10), ValueError, "strand"),
    (lambda p, rows: IntervalDataset(p, [["chrA"], [5]], 10), ValueError, "BED path or"),
    (lambda p, rows: IntervalDataset(p, columns(rows), 10)[300], IndexError, "item 300"),
    (lambda p, rows: IntervalDataset(p, columns(rows), 10)[[0, 1.5]], TypeError, "integer"),
    (lambda p, rows: IntervalDataset(3, columns(rows), 10), TypeError, "genome must be"),
])
def test_interval_dataset_refusals(genome, intervals, make, error, message):
    path, _ = genome
    with pytest.raises(error, match=message):
        make(path, intervals)


# --- read_vcf

VCF = (
    "##fileformat=VCFv4.2\n"
    "##contig=<ID=chrA,length=700>\n##contig=<ID=chrB,length=543>\n##contig=<ID=chrE,length=517>\n"
    '##INFO=<ID=SVTYPE,Number=1,Type=String,Description="type">\n'
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
    "chrA\t10\trs1\t{A10}\tT\t.\tPASS\t.\n"
    "chrA\t20\t.\t{A20}\tG,TT,*\t50\t.\t.\r\n"
    "chrA\t30\trs3\t{A30}\t<DEL>\t.\t.\tSVTYPE=DEL\n"
    "chrB\t1\trs4\t{B1}\t{B1}AC\t.\t.\t.\n"
    "chrB\t543\trs5\t{B543}\tA\t.\t.\t.\n"
    "chrE\t100\trs6\t{E100}\t.\t.\t.\t.\n"
    "chrE\t101\trs7\t{E101}\t{E101x}\t.\t.\t.\n"
)
ROWS = [  # (chrom, pos, id, alt) of VCF, one per ALT allele
    ("chrA", 10, "rs1", "T"), ("chrA", 20, ".", "G"), ("chrA", 20, ".", "TT"), ("chrA", 20, ".", "*"),
    ("chrA", 30, "rs3", "<DEL>"), ("chrB", 1, "rs4", None), ("chrB", 543, "rs5", "A"),
    ("chrE", 100, "rs6", "."), ("chrE", 101, "rs7", None),
]
SYMBOLIC = {"*", "<DEL>", "."}


@pytest.fixture(scope="module")
def vcf(genome, tmp_path_factory):
    path, records = genome
    seq = {"A10": records["chrA"][9], "A20": records["chrA"][19:22], "A30": records["chrA"][29],
           "B1": records["chrB"][0], "B543": records["chrB"][542], "E100": records["chrE"][99],
           "E101": records["chrE"][100:104], "E101x": records["chrE"][100]}
    where = tmp_path_factory.mktemp("vcf")
    plain = where / "v.vcf"
    plain.write_text(VCF.format(**seq))
    refs = {("chrA", 10): seq["A10"], ("chrA", 20): seq["A20"], ("chrA", 30): seq["A30"], ("chrB", 1): seq["B1"],
            ("chrB", 543): seq["B543"], ("chrE", 100): seq["E100"], ("chrE", 101): seq["E101"]}
    rows = [(c, p, i, seq["B1"] + "AC" if a is None and c == "chrB" else seq["E101x"] if a is None else a, refs[c, p])
            for c, p, i, a in ROWS]
    return str(plain), rows


def as_rows(v):
    return list(zip(v["chrom"].tolist(), v["pos"].tolist(), v["id"].tolist(), v["alt"].tolist(), v["ref"].tolist()))


@pytest.mark.parametrize("region, keep", [
    (None, lambda c, p: True),
    ("chrA", lambda c, p: c == "chrA"),
    ("chrA:11-30", lambda c, p: c == "chrA" and 11 <= p <= 30),
    ("chrA:1,0-2,0", lambda c, p: c == "chrA" and 10 <= p <= 20),
    ("chrB:543", lambda c, p: c == "chrB" and p >= 543),
    ("chrE:101-101", lambda c, p: c == "chrE" and p == 101),
    ("chrQ", lambda c, p: False),
])
@pytest.mark.parametrize("packing", ["plain", "gzip", "bgzip"])
def test_read_vcf_gives_one_row_per_alt_allele(vcf, tmp_path, region, keep, packing):
    path, rows = vcf
    if packing == "gzip":
        packed = tmp_path / "v.vcf.gz"
        packed.write_bytes(gzip.compress(open(path, "rb").read()))
        path = str(packed)
    elif packing == "bgzip":
        if shutil.which("bgzip") is None:
            pytest.skip("bgzip not installed")
        packed = tmp_path / "v.vcf"
        shutil.copy(path, packed)
        subprocess.run(["bgzip", "-f", str(packed)], check=True)
        path = str(packed) + ".gz"
    v = read_vcf(path, region)
    assert v["pos"].dtype == np.int64 and all(len(col) == len(v["pos"]) for col in v.values())
    assert as_rows(v) == [r for r in rows if keep(r[0], r[1])]
    kept = read_vcf(path, region, keep_symbolic=False)
    assert as_rows(kept) == [r for r in rows if keep(r[0], r[1]) and r[3] not in SYMBOLIC]


def test_read_vcf_agrees_with_pysam(vcf):
    pysam = pytest.importorskip("pysam")
    path, _ = vcf
    want = []
    with pysam.VariantFile(path) as f:
        for rec in f:
            for alt in rec.alts or (".",):
                want.append((rec.chrom, rec.pos, rec.id or ".", alt, rec.ref))
    assert as_rows(read_vcf(path)) == want


def test_read_vcf_columns_feed_fetch_variants(genome, vcf):
    path, records = genome
    v = read_vcf(vcf[0], keep_symbolic=False)
    fa = sekva.Fasta(path)
    ref, alt = fa.fetch_variants(names=v["chrom"], positions=v["pos"], refs=v["ref"], alts=v["alt"], width=9)
    for i in range(len(v["pos"])):
        p = int(v["pos"][i])
        assert ref[i].tobytes().decode() == window_text(records[v["chrom"][i]], p - 5, 9, "+")
        assert alt[i].tobytes().decode()[4 : 4 + len(v["alt"][i])] == v["alt"][i][:5]
    # symbolic alleles kept (the default) are refused by fetch_variants, naming the row
    w = read_vcf(vcf[0])
    with pytest.raises(ValueError, match=r"variant 3: ALT '\*'"):
        fa.fetch_variants(names=w["chrom"], positions=w["pos"], refs=w["ref"], alts=w["alt"], width=9)


@pytest.mark.parametrize("text, message", [
    ("chrA\tten\t.\tA\tT\n", "line 1: POS 'ten' is not an integer"),
    ("#h\nchrA\t5\t.\tA\n", "line 2: a VCF data line needs at least five"),
    ("chrA\t-5\t.\tA\tT\n", "POS -5 is negative"),
    (b"chrA\t5\t.\t\xff\tT\n", "line 1 is not UTF-8"),
    (gzip.compress(b"chrA\t5\t.\tA\tT\n" * 100)[:-30], "compressed data damaged"),
])
def test_read_vcf_refuses_damaged_files(tmp_path, text, message):
    path = tmp_path / "bad.vcf"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    with pytest.raises(ValueError, match=message):
        read_vcf(str(path))


def test_read_vcf_region_may_be_a_name_holding_a_colon(tmp_path):
    path = tmp_path / "hla.vcf"
    path.write_text("HLA-A*01:01\t5\t.\tA\tT\nHLA-A*01\t1\t.\tA\tT\nHLA-A*01\t2\t.\tA\tT\n")
    # both readings hold: the record named so, and HLA-A*01 from POS 1 on
    assert read_vcf(str(path), "HLA-A*01:01")["chrom"].tolist() == ["HLA-A*01:01", "HLA-A*01", "HLA-A*01"]
    assert read_vcf(str(path), "HLA-A*01:02-9")["pos"].tolist() == [2]


@pytest.mark.parametrize("region", ["", "chrA:0-10", "chrA:20-10"])
def test_read_vcf_refuses_bad_regions(vcf, region):
    with pytest.raises(ValueError, match="region"):
        read_vcf(vcf[0], region)


def test_empty_vcf_gives_empty_columns(tmp_path):
    path = tmp_path / "e.vcf"
    path.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n")
    v = read_vcf(str(path))
    assert sorted(v) == ["alt", "chrom", "id", "pos", "ref"] and all(len(c) == 0 for c in v.values())


# --- PyTorch


@pytest.mark.parametrize("workers, context", [(0, None), (1, "spawn"), (2, "spawn"), (2, "forkserver")])
def test_data_loader_gives_the_same_batches_whatever_the_workers(genome, workers, context):
    torch = pytest.importorskip("torch")
    path, _ = genome
    gw = GenomeWindows(path, 32, rc=0.5, seed=13, max_n=0.1, batch_size=8, batches=7)
    assert isinstance(gw, torch.utils.data.IterableDataset)
    loader = torch.utils.data.DataLoader(gw, batch_size=None, num_workers=workers, multiprocessing_context=context)
    got = list(loader)
    assert len(got) == 7
    for k, (x, names, starts, strands) in enumerate(got):
        want = gw.batch(k)
        assert isinstance(x, torch.Tensor) and (x.numpy() == want[0]).all()
        assert list(names) == want[1].tolist() and (np.asarray(starts) == want[2]).all()
        assert list(strands) == want[3].tolist()


@pytest.mark.parametrize("workers", [0, 2])
def test_data_loader_batches_intervals_with_one_call_each(genome, intervals, workers):
    torch = pytest.importorskip("torch")
    path, _ = genome
    labels = np.arange(len(intervals), dtype=np.float32)
    ds = IntervalDataset(path, columns(intervals), 24, labels=labels, jitter=3, rc=0.5, seed=4)
    loader = torch.utils.data.DataLoader(ds, batch_size=32, num_workers=workers,
                                         multiprocessing_context="spawn" if workers else None)
    xs, ys = zip(*loader)
    assert (torch.cat(xs).numpy() == ds[range(len(ds))][0]).all()
    assert (torch.cat(ys).numpy() == labels).all()
