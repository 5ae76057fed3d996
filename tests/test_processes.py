"""Many processes and threads: pickled handles, the record order every process sees, and long work
that lets other threads run."""
import concurrent.futures
import copy
import gc
import multiprocessing
import os
import pickle
import platform
import random
import sys
import threading
import time

import pytest

import sekva
from sekva import Faidx, Fasta

RECORDS = {f"r{i}": "".join(random.Random(i).choices("ACGTNacgt", k=300 + 37 * i)) for i in range(12)}


@pytest.fixture
def path(write):
    # Names in an order no hash table keeps, and a repeated name: listing follows the file.
    names = list(RECORDS)
    random.Random(5).shuffle(names)
    text = "".join(f">{n} d\n" + "".join(RECORDS[n][i : i + 60] + "\n" for i in range(0, len(RECORDS[n]), 60))
                   for n in names)
    return write(text + f">{names[0]}\nAC\n"), names


def _listing(fa):
    return [fa.keys(), [r.long_name for r in fa], [r.long_name for r in fa.values()], [n for n, _ in fa.items()],
            [fa[i].long_name for i in range(len(fa.keys()))]]


def test_records_are_listed_in_file_order(path):
    path, names = path
    fa = Fasta(path)
    assert all(listing == names for listing in _listing(fa))
    assert Faidx(path).keys == names
    assert str(fa[names[0]]) == "AC"  # the later record of a repeated name is the one fetched


def _keys_in_child(path):
    return Fasta(path).keys(), Faidx(path).keys


@pytest.mark.parametrize("method", ["spawn", "forkserver", "fork"])
def test_every_process_lists_the_same_order(path, method):
    path, names = path
    with multiprocessing.get_context(method).Pool(2) as pool:
        assert pool.map(_keys_in_child, [path] * 4) == [(names, names)] * 4


# --- pickling and copying ---------------------------------------------------------------------

OPTIONS = dict(default_seq="N", key_function=str.upper, as_raw=True, strict_bounds=True, read_ahead=7,
               split_char="|", filt_function=len, one_based_attributes=False, read_long_names=True,
               duplicate_action="first", sequence_always_upper=True, rebuild=False)


def _copies(obj):
    yield copy.copy(obj)
    yield copy.deepcopy(obj)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        yield pickle.loads(pickle.dumps(obj, protocol))


@pytest.mark.parametrize("cls", [Fasta, Faidx])
@pytest.mark.filterwarnings("ignore:(split_char|read_ahead) has no effect")
def test_handles_pickle_as_their_file_and_options(path, cls, tmp_path):
    path, names = path
    index = str(tmp_path / "custom.fai")
    fa = cls(path, indexname=index, **OPTIONS)
    assert len(pickle.dumps(fa)) < 1000  # no bases, no index
    for other in _copies(fa):
        assert type(other) is cls and other is not fa and repr(other) == repr(fa)
        assert pickle.loads(pickle.dumps(other)).__reduce__() == fa.__reduce__()
        # Keys are whole header lines, upper-cased; the first of the repeated name is kept.
        key = names[1].upper() + " D"
        s = (other.get_seq if cls is Fasta else other.fetch)(key, 1, 5)
        assert (s.seq, s.start, s.end) == (RECORDS[names[1]][:5].upper(), None, None)
        first = RECORDS[names[0]]
        assert str((other.get_seq if cls is Fasta else other.fetch)(names[0].upper() + " D", 1, len(first))) == first.upper()
        with pytest.raises(IndexError):  # strict bounds travelled too
            (other.get_seq if cls is Fasta else other.fetch)(key, 0, 5)


def test_default_options_round_trip(path):
    path, _ = path
    for cls in (Fasta, Faidx):
        fa = cls(path)
        assert pickle.loads(pickle.dumps(fa)).__reduce__() == fa.__reduce__()
        assert fa.__reduce__()[1][0] == path


def test_unpicklable_callables_fail_with_the_hosts_error(path):
    path, _ = path
    fa = Fasta(path, key_function=lambda name: name)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(fa)


def test_unpickling_where_the_file_is_gone_fails_as_opening_would(write):
    path = write(">a\nAC\n", "gone.fa")
    data = pickle.dumps(Fasta(path))
    os.unlink(path)
    with pytest.raises(Exception) as info:
        pickle.loads(data)
    assert str(info.value) == "FastaNotFoundError: " + path


def test_records_pickle_as_their_fasta_and_name(path):
    path, names = path
    fa = Fasta(path, sequence_always_upper=True)
    record = fa[names[2]]
    for other in _copies(record):
        assert type(other) is sekva.FastaRecord and repr(other) == repr(record)
        assert str(other) == RECORDS[names[2]].upper()


def test_iterators_refuse_to_pickle(path):
    path, names = path
    fa = Fasta(path)
    for it in (iter(fa), iter(fa[names[0]])):
        for attempt in (lambda: pickle.dumps(it), lambda: copy.copy(it), lambda: copy.deepcopy(it)):
            with pytest.raises(TypeError, match="cannot pickle '(Fasta|Sequence)Iterator' object"):
                attempt()


# --- workers in other processes -----------------------------------------------------------------

def _fetch_in_worker(fasta, regions):
    return [(s.name, s.seq, s.start, s.end) for s in fasta.fetch_many(regions)]


def _regions(names, count, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        name = rng.choice(names)
        length = len(RECORDS[name]) if name != names[0] else 2
        start = rng.randint(1, length)
        out.append((name, start, rng.randint(start, length)))
    return out


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_pools_of_other_processes_fetch_through_pickled_handles(path, method):
    path, names = path
    fa = Fasta(path)
    chunks = [_regions(names, count, seed) for seed, count in enumerate([5, 1200, 300])]
    expected = [_fetch_in_worker(fa, chunk) for chunk in chunks]
    with multiprocessing.get_context(method).Pool(2) as pool:
        assert pool.starmap(_fetch_in_worker, [(fa, chunk) for chunk in chunks]) == expected
    # PyPy 3.9's executor cannot take another start method; its default one still pickles the Fasta.
    ctx = {} if platform.python_implementation() == "PyPy" else {"mp_context": multiprocessing.get_context(method)}
    with concurrent.futures.ProcessPoolExecutor(2, **ctx) as executor:
        assert list(executor.map(_fetch_in_worker, [fa] * 3, chunks)) == expected
    # PyPy frees the pools' named semaphores two collections later (a pool's own finalizer keeps
    # them through the first) and runs their finalizers in whatever thread runs Python code then;
    # two of them run one inside the other deadlock on the lock of multiprocessing's resource
    # tracker, as a later test's ticking thread did. They are finalized here, in this thread alone.
    del pool, executor
    for _ in range(3):
        gc.collect()


def test_dask_example_runs(path, tmp_path):
    pytest.importorskip("distributed")
    import subprocess

    path, names = path
    bed = tmp_path / "regions.bed"
    regions = _regions(names, 2500, 7)
    bed.write_text("".join(f"{n}\t{s - 1}\t{e}\n" for n, s, e in regions))
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "dask_regions.py")
    out = subprocess.run([sys.executable, example, path, str(bed), "--chunk", "700", "--workers", "2"],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    fa = Fasta(path)
    assert out.stdout.splitlines() == [s.seq for s in fa.fetch_many(regions)]


# --- threads --------------------------------------------------------------------------------------

def test_threads_sharing_one_fasta_get_what_one_thread_gets(path):
    path, names = path
    fa = Fasta(path)
    work = [(_regions(names, 1500 if i % 2 else 50, i), i % 3 == 0) for i in range(8)]
    expected = [[(s.seq, s.start, s.end) for s in fa.fetch_many(r, rc=rc)] for r, rc in work]

    def run(i):
        regions, rc = work[i]
        got = [(s.seq, s.start, s.end) for s in fa.fetch_many(regions, rc=rc)]
        singles = [fa.get_seq(*region).seq for region in regions[:20]]
        return got, singles

    for _ in range(3):
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(run, range(len(work))))
        for (got, singles), want, (regions, rc) in zip(results, expected, work):
            assert got == want
            assert singles == [fa.get_seq(*region).seq for region in regions[:20]]


def _progress_during(call, tries=5):
    """Whether another thread ran while call() was running (on a busy machine, in one of a few tries)."""
    return any(_ticks_during(call) for _ in range(tries))


def _ticks_during(call):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    thread = threading.Thread(target=tick)
    thread.start()
    time.sleep(0.01)
    t0 = time.perf_counter()
    call()
    t1 = time.perf_counter()
    stop.set()
    thread.join()
    return sum(t0 < t < t1 for t in ticks)


@pytest.fixture
def big(tmp_path):
    path = tmp_path / "big.fa"
    line = "ACGTACGTAC" * 6 + "\n"
    with open(path, "w") as f:
        for r in range(4):
            f.write(f">b{r}\n" + line * 400_000)  # 24 Mb each
    return str(path)


def test_long_work_lets_other_threads_run(big):
    def build():
        if os.path.exists(big + ".fai"):
            os.unlink(big + ".fai")
        Faidx(big)

    assert _progress_during(build)
    fa = Faidx(big)
    regions = [(f"b{i % 4}", 1 + 5000 * i, 200_000 + 5000 * i) for i in range(1200)]
    assert _progress_during(lambda: fa.fetch_many(regions))
    assert _progress_during(lambda: [fa.fetch_entire_sequence(f"b{i}") for i in range(4)])



class _Counted:
    """An integer that counts its conversions: how far a call has read its regions."""

    def __init__(self, value, reads):
        self.value, self.reads = value, reads

    def __index__(self):
        self.reads[0] += 1
        return self.value


def _seen_during(call, probe):
    """What probe() gave, again and again, in a thread waiting for the interpreter lock while call()
    ran. Python code switches threads only every 100 s here, so that thread runs inside the call
    only where the call itself gives the lock up."""
    seen = []
    go, stop = threading.Event(), threading.Event()

    def watch():
        go.wait()
        while not stop.is_set():
            seen.append(probe())
            time.sleep(0.0001)

    thread = threading.Thread(target=watch)
    interval = sys.getswitchinterval()
    thread.start()
    sys.setswitchinterval(100)
    try:
        go.set()
        call()
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    return seen


def _columns(fa, regions):
    return fa.fetch_array(names=[n for n, _, _ in regions], starts=[s for _, s, _ in regions],
                          ends=[e for _, _, e in regions])


LONG_CALLS = {  # name: (needs numpy, call)
    "fetch_many": (False, lambda fa, regions: fa.fetch_many(regions)),
    "fetch_many, rc": (False, lambda fa, regions: fa.fetch_many(regions, rc=True)),
    "fetch_many_same_chr": (False, lambda fa, regions: fa.fetch_many_same_chr(
        regions[0][0], [(s, e) for _, s, e in regions])),
    "fetch_array": (True, lambda fa, regions: fa.fetch_array(regions)),
    "fetch_array, columns": (True, _columns),
    "fetch_onehot": (True, lambda fa, regions: fa.fetch_onehot(regions)),
    "fetch_ragged": (True, lambda fa, regions: fa.fetch_ragged(regions)),
    "fetch_fasta": (False, lambda fa, regions: fa.fetch_fasta(regions, [">r"] * len(regions))),
    "get_spliced_seq": (False, lambda fa, regions: fa.get_spliced_seq(regions[0][0], [(s, e) for _, s, e in regions])),
}


@pytest.mark.parametrize("method", LONG_CALLS)
def test_reading_many_regions_lets_other_threads_run(path, method):
    needs_numpy, call = LONG_CALLS[method]
    if needs_numpy:
        pytest.importorskip("numpy")
    path, names = path
    fa = Fasta(path)
    reads = [0]
    regions = [(names[1], _Counted(3, reads), _Counted(12, reads))] * 100_000
    seen = _seen_during(lambda: call(fa, regions), lambda: reads[0])
    assert reads[0] >= 200_000
    assert any(0 < n < reads[0] for n in seen), "no other thread ran while the regions were read"


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="counts references")
@pytest.mark.parametrize("walk", ["900 large regions", "reversed record"])
def test_making_many_values_lets_other_threads_run(big, walk):
    # Every value made holds a reference to the name, so its count tells how many are made. Below
    # the parallel threshold each region of a batch is fetched on the calling thread; a reversed
    # record is one value per line.
    fa = Fasta(big)
    name = "".join(["b", "1"])
    regions = [(name, 1 + 1000 * i, 100_000 + 1000 * i) for i in range(900)]
    record = fa[name]
    name = record[0:1].name if walk == "reversed record" else name  # the object every value holds
    count = len(regions) if walk == "900 large regions" else len(record) // 60
    before = sys.getrefcount(name)
    got = []
    if walk == "900 large regions":
        call = lambda: got.append(fa.fetch_many(regions, rc=True))  # noqa: E731
    else:
        call = lambda: got.append(reversed(record))  # noqa: E731
    seen = _seen_during(call, lambda: sys.getrefcount(name) - before)
    assert len(got[0]) == count
    assert any(0 < n < count for n in seen), "no other thread ran while the values were made"


def test_values_stay_whole_while_other_threads_walk_every_object(big):
    # Other threads run inside long calls: no value half made, and no list half filled, may reach
    # them (gc.get_objects() lists every container). A few walks: each turn of the call waits for one.
    fa = Fasta(big)
    few_large = [(f"b{i % 4}", 1 + 1000 * i, 100_000 + 1000 * i) for i in range(900)]
    many = [(f"b{i % 4}", 1 + 7 * i, 100 + 7 * i) for i in range(5_000)]
    expected = [[(s.start, s.end, s.seq[:5]) for s in fa.fetch_many(r)] for r in (few_large, many)]
    stop = threading.Event()

    def walk():
        for _ in range(10):
            gc.collect()
            for o in gc.get_objects():
                if type(o) is list:
                    list(o)
            if stop.is_set():
                return

    thread = threading.Thread(target=walk)
    thread.start()
    try:
        for regions, want in zip((few_large, many, few_large), expected + expected[:1]):
            assert [(s.start, s.end, s.seq[:5]) for s in fa.fetch_many(regions)] == want
    finally:
        stop.set()
        thread.join()
