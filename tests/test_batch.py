"""Batch fetches: the sequential path below 1000 regions, the worker pool from 1000 on."""
import os
import random
import subprocess
import sys
import textwrap

import pytest

from conftest import bump_mtime
from sekva import Faidx

SMALL, LARGE = 999, 1000


@pytest.fixture(scope="module")
def records():
    rng = random.Random(3)
    return {f"chr{i}": "".join(rng.choice("ACGTNacgt") for _ in range(rng.randint(50, 3000))) for i in range(6)}


@pytest.fixture(scope="module")
def fasta(records, tmp_path_factory):
    path = tmp_path_factory.mktemp("batch") / "g.fa"
    with open(path, "w") as f:
        for name, seq in records.items():
            f.write(f">{name}\n" + "".join(seq[i : i + 60] + "\n" for i in range(0, len(seq), 60)))
        f.write(">empty\n")
    return str(path)


def random_regions(records, count, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        name = rng.choice(list(records))
        a = rng.randint(1, len(records[name]))
        out.append((name, a, rng.randint(a, len(records[name]))))
    return out


@pytest.mark.parametrize("count", [0, 5, SMALL, LARGE, 5000])
@pytest.mark.parametrize("mutable", [False, True])
def test_results_match_the_text_in_input_order(fasta, records, count, mutable):
    fa = Faidx(fasta, mutable=mutable)
    regions = random_regions(records, count, seed=count)
    got = fa.fetch_many(regions)
    assert [s.seq for s in got] == [records[n][a - 1 : b] for n, a, b in regions]
    assert [(s.name, s.start, s.end, s.comp) for s in got] == [(n, a, b, False) for n, a, b in regions]
    pairs = [(a, b) for _, a, b in random_regions({"chr1": records["chr1"]}, count, seed=count + 1)]
    same = fa.fetch_many_same_chr("chr1", pairs)
    assert [s.seq for s in same] == [records["chr1"][a - 1 : b] for a, b in pairs]


def test_sequential_and_parallel_bounds_rules(fasta, records, capfd):
    length = len(records["chr1"])
    edge = [("chr1", 0, 10), ("chr1", length + 5, length + 9), ("chr1", 5, length + 3), ("chr1", 9, 3)]
    small = Faidx(fasta).fetch_many(edge * (SMALL // 4))
    assert [(s.seq, s.start, s.end) for s in small[:4]] == [
        ("", 0, 10), ("", length + 5, length + 5), (records["chr1"][4:], 5, length), ("", 9, 3)]
    assert capfd.readouterr().err.count("WARNING: ") == 4 * (SMALL // 4)
    large = Faidx(fasta).fetch_many(edge * (LARGE // 4))
    assert [(s.seq, s.start, s.end) for s in large[:4]] == [
        (records["chr1"][:10], 1, 10), (records["chr1"][-1], length, length), (records["chr1"][4:], 5, length),
        ("", 9, 3)]
    assert capfd.readouterr().err == ""


def test_strict_bounds_in_both_paths(fasta, records):
    fa = Faidx(fasta, strict_bounds=True)
    bad = [("chr1", 1, 5)] * 20 + [("chr1", 0, 10)]
    with pytest.raises(IndexError, match=r"coordinates cannot be 0"):
        fa.fetch_many(bad)
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many(bad + [("chr1", 1, 5)] * LARGE)
    assert str(info.value) == (f"Error fetching region 20: Invalid region: Invalid region chr1:0-10 "
                               f"(sequence length: {len(records['chr1'])})")
    with pytest.raises(RuntimeError, match="^Error fetching region 20 from chr1: Invalid region: "):
        fa.fetch_many_same_chr("chr1", [(1, 5)] * 20 + [(0, 10)] + [(1, 5)] * LARGE)


def test_first_failure_in_input_order_is_reported(fasta):
    regions = [("chr1", 1, 5)] * 2000
    regions[17] = ("nope17", 1, 5)
    regions[3] = ("nope3", 1, 5)
    with pytest.raises(RuntimeError, match="^Error fetching region 3: Fetch error: Sequence 'nope3' not found$"):
        Faidx(fasta).fetch_many(regions)
    with pytest.raises(Exception, match="^FetchError: Sequence 'nope3' not found$"):
        Faidx(fasta).fetch_many(regions[:SMALL])


def test_same_chr_unknown_name(fasta):
    fa = Faidx(fasta)
    assert fa.fetch_many_same_chr("nope", []) == []
    for count in (1, LARGE):
        with pytest.raises(Exception, match="^FetchError: Sequence 'nope' not found$"):
            fa.fetch_many_same_chr("nope", [(1, 2)] * count)


def test_options_in_the_parallel_path(fasta, records):
    raw = Faidx(fasta, as_raw=True).fetch_many([("chr1", 1, 3), ("chr1", 9, 3)] * 600)
    assert (raw[0].seq, raw[0].start, raw[0].end) == (records["chr1"][:3], None, None)
    assert (raw[1].seq, raw[1].start, raw[1].end) == ("", 9, 3)
    upper = Faidx(fasta, sequence_always_upper=True, one_based_attributes=False).fetch_many([("chr2", 1, 50)] * LARGE)
    assert (upper[0].seq, upper[0].start, upper[0].end) == (records["chr2"][:50].upper(), 0, 50)


@pytest.mark.parametrize("default, seq", [(None, ""), ("N", "N"), ("NN", "NN")])
def test_empty_record_in_the_parallel_path(fasta, default, seq):
    got = Faidx(fasta, default_seq=default).fetch_many([("empty", 1, 5)] * LARGE)
    assert (got[0].seq, got[0].start, got[0].end) == (seq, 0, 0)


def test_truncated_file_is_padded_in_the_parallel_path(write):
    path = write(">a\nACGTACGTAC\n")
    write("a\t20\t3\t10\t11\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    got = Faidx(path, default_seq="N").fetch_many([("a", 5, 20)] * LARGE)
    assert got[-1].seq == "ACGTAC" + "N" * 10


@pytest.mark.parametrize(
    "regions, exc, message",
    [
        ("chr1", TypeError, "argument 'regions': Can't extract `str` to `Vec`"),
        ([["chr1", 1, 2]], TypeError, "argument 'regions': 'list' object cannot be converted to 'PyTuple'"),
        ([("chr1", 1)], ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ([("chr1", -1, 2)], OverflowError, ""),
        ([(1, 1, 2)], TypeError, "argument 'regions': 'int' object cannot be converted to 'PyString'"),
        ((r for r in [("chr1", 1, 2)]), TypeError, "argument 'regions': 'generator' object cannot be converted"),
        ([("chr1", 1, 2)] * 5 + [("chr1", 1.5, 2)], TypeError, "argument 'regions': "),
    ],
)
def test_region_conversion(fasta, regions, exc, message):
    with pytest.raises(exc) as info:
        Faidx(fasta).fetch_many(regions)
    assert type(info.value) is exc and str(info.value).startswith(message)


def test_pair_conversion(fasta):
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        Faidx(fasta).fetch_many_same_chr("chr1", [(1, 2, 3)])
    with pytest.raises(TypeError, match="argument 'name'"):
        Faidx(fasta).fetch_many_same_chr(None, [])
    assert len(Faidx(fasta).fetch_many_same_chr("chr1", ((1, 2),) * 3)) == 3


def test_non_ascii_bases_fail_the_batch(write):
    fa = Faidx(write(">a\nAC\u00e9GT\n"))
    for count in (1, LARGE):
        with pytest.raises(ValueError, match="not ASCII"):
            fa.fetch_many([("a", 1, 5)] * count)


RUN = textwrap.dedent(
    """
    import os, sys
    from sekva import Faidx
    fa = Faidx(sys.argv[1])
    regions = [("chr1", i % 40 + 1, i % 40 + 10) for i in range(3000)]
    first = [s.seq for s in fa.fetch_many(regions)]
    assert first == [s.seq for s in fa.fetch_many(regions[:999])] + first[999:]
    pid = os.fork()
    if pid == 0:
        ok = [s.seq for s in fa.fetch_many(regions)] == first
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status), len(first))
    """
)


@pytest.mark.parametrize("threads", ["1", "3", "0", "junk", None])
def test_pool_sizes_and_fork(fasta, threads):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    env["RAYON_RS_NUM_CPUS"] = "2"
    out = subprocess.run([sys.executable, "-c", RUN, fasta], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["child", "0", "3000"]


THREADS_STARTED = textwrap.dedent(
    """
    import os, sys
    from sekva import Faidx
    fa = Faidx(sys.argv[1])
    before = len(os.listdir("/proc/self/task"))
    fa.fetch_many([("chr1", 1, 10)] * 3000)
    print(len(os.listdir("/proc/self/task")) - before)
    """
)


# The thread that runs a batch works beside the pool, so the pool holds one thread fewer than the
# count asked for (or than the processors the process may use): never more threads than cores.
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize(
    "variables, workers",
    [
        ({"RAYON_NUM_THREADS": "1"}, 0),
        ({"RAYON_NUM_THREADS": "2"}, 1),
        ({"RAYON_NUM_THREADS": "5"}, 4),
        ({"RAYON_NUM_THREADS": "junk", "RAYON_RS_NUM_CPUS": "3"}, 2),
        ({}, None),
    ],
)
def test_pool_leaves_a_processor_for_the_calling_thread(fasta, variables, workers):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(variables)
    out = subprocess.run([sys.executable, "-c", THREADS_STARTED, fasta], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    started = int(out.stdout)
    if workers is None:  # a cgroup quota may allow fewer processors than the affinity set
        processors = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        assert 0 <= started < processors
    else:
        assert started == workers


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
def test_batches_do_not_leak(fasta):
    import gc

    fa = Faidx(fasta)
    regions = [("chr1", 1, 50)] * LARGE
    name = regions[0][0]
    for count in (10, LARGE):
        fa.fetch_many(regions[:count])
        gc.collect()
        before = sys.getrefcount(name)
        for _ in range(20):
            fa.fetch_many(regions[:count])
            fa.fetch_many_same_chr(name, [(1, 50)] * count)
        gc.collect()
        assert sys.getrefcount(name) == before


def test_impossible_batch_allocation_is_a_memory_error(write):
    path = write(">a\nACGT\n")
    write(f"a\t{2**50}\t3\t4\t5\n", "x.fa.fai")
    bump_mtime(path + ".fai", 5)
    fa = Faidx(path, default_seq="N")
    with pytest.raises(MemoryError):
        fa.fetch_many([("a", 1, 2**50)] * LARGE)
    assert fa.fetch_many([("a", 1, 4)] * LARGE)[0].seq == "ACGT"


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="PyPy sizes its heap by its own rules and returns memory late; its RSS does not settle")
@pytest.mark.skipif(os.environ.get("SEKVA_SANITIZED") == "1",
                    reason="AddressSanitizer keeps freed memory in quarantine; RSS grows by design")
def test_memory_stays_flat(fasta):
    import gc

    regions = [("chr1", 1, 40), ("chr2", 5, 60)] * 600
    def work():
        fa = Faidx(fasta)
        fa.fetch_many(regions)
        fa.fetch_many_same_chr("chr3", [(1, 30)] * 1200)
        fa.fetch_entire_sequence("chr4")
        Faidx(fasta, mutable=True).fetch_many(regions[:10])

    for _ in range(20):
        work()
    gc.collect()
    before = _resident_bytes()
    for _ in range(200):
        work()
    gc.collect()
    assert _resident_bytes() - before < 8 * 1024 * 1024
