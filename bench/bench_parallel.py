"""Processes and threads: how index builds and batches scale with the threads of the worker pool,
whole records beside a plain memcpy, pickling a Fasta, two threads running batches at once, and
another thread running while an index is built, all in one run.
    python bench/bench_parallel.py
"""
import concurrent.futures
import os
import pickle
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

from common import best_time, command_line
import genome
from sekva import Faidx, Fasta


# One process per thread count: the pool is sized once, from RAYON_NUM_THREADS, at its first job.
SCALING = textwrap.dedent(
    """
    import os, random, sys, tempfile, time
    sys.path.insert(0, sys.argv[2])
    from common import best_time
    import genome
    from sekva import Faidx
    index = os.path.join(tempfile.mkdtemp(), "genome.fa.fai")
    def build():
        Faidx(sys.argv[1], indexname=index)
        os.unlink(index)
    print(best_time(build, repeat=5))
    fa = Faidx(sys.argv[1])
    rng = random.Random(5)
    names = genome.names()
    regions = [(n, s, s + 9_999) for n in (rng.choice(names) for _ in range(20_000))
               for s in [rng.randint(1, 30_000_000)]]
    fa.fetch_many(regions)
    print(best_time(lambda: fa.fetch_many(regions), repeat=5))
    try:
        import numpy as np
    except ImportError:
        print("nan")
        raise SystemExit
    starts = np.array([rng.randint(1, 30_000_000) for _ in range(100_000)], dtype=np.int64)
    windows = [rng.choice(names) for _ in range(100_000)]
    fa.fetch_array(names=windows, starts=starts, ends=starts + 999)
    print(best_time(lambda: fa.fetch_array(names=windows, starts=starts, ends=starts + 999), repeat=5))
    """
)


def thread_counts():
    most = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    return sorted({1, 2, most})


def scaling(path):
    here = os.path.dirname(os.path.abspath(__file__))
    # The same again with glibc told never to give freed heap memory back to the kernel: the strings
    # of each call then land in pages an earlier call faulted in, which shows what the page faults
    # of fresh memory cost and how the pool scales without them.
    for kept in (False, True):
        times = {}
        for threads in thread_counts():
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            if kept:
                env["MALLOC_TRIM_THRESHOLD_"] = str(1 << 40)
            out = subprocess.run([sys.executable, "-c", SCALING, path, here], env=env, capture_output=True,
                                 text=True, check=True)
            times[threads] = [float(v) for v in out.stdout.split()]
        print("\nBy threads of the pool (RAYON_NUM_THREADS, the calling thread included; best of 5 each)" +
              ("; freed heap memory kept (MALLOC_TRIM_THRESHOLD_), so no page faults of fresh strings" if kept else ""))
        columns = ["index build of the genome", "fetch_many 20,000 x 10 kb", "fetch_array 100,000 x 1 kb"]
        print(f"  {'threads':>7}" + "".join(f" {c:>28} {'speed-up':>9}" for c in columns))
        one = times[1]
        for threads, row in times.items():
            print(f"  {threads:>7}" + "".join(f" {t:>27.3f}s {base / t:>8.2f}x" for t, base in zip(row, one)))


def whole_records(path):
    record = Fasta(path)[genome.BIG]
    faidx = Faidx(path)
    size = genome.SIZES[0]
    fetched = best_time(lambda: faidx.fetch_entire_sequence(genome.BIG), repeat=5)
    as_str = best_time(lambda: str(record), repeat=5)
    source = bytearray(b"A") * size
    target = bytearray(size)
    warm = best_time(lambda: memoryview(target).__setitem__(slice(None), source), repeat=5)
    fresh = best_time(lambda: bytes(source), repeat=5)  # a new buffer each time: its pages fault in
    print(f"\nWhole {size / 1e6:.0f} Mb record (GB/s of bases, best of 5)")
    print(f"  fetch_entire_sequence {size / fetched / 1e9:6.2f}    str(record) {size / as_str / 1e9:6.2f}")
    print(f"  memcpy of {size / 1e6:.0f} MB: into fresh memory {size / fresh / 1e9:6.2f}, into memory already "
          f"written {size / warm / 1e9:6.2f}")


COMPRESSED_WHOLE = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[2])
    from common import best_time
    import genome
    from sekva import Faidx
    fa = Faidx(sys.argv[1])
    print(best_time(lambda: fa.fetch_entire_sequence(genome.BIG), repeat=3))
    """
)


def compressed_whole_record(path):
    """The 100 Mb record from genome.fa.gz (written by bench_compressed.py), on one thread and on all."""
    packed = path + ".gz"
    if not os.path.exists(packed):
        print("\n(no genome.fa.gz: bench_compressed.py writes it; the BGZF whole-record row is left out)")
        return
    here = os.path.dirname(os.path.abspath(__file__))
    times = {}
    for threads in (1, thread_counts()[-1]):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, "-c", COMPRESSED_WHOLE, packed, here], env=env, capture_output=True,
                             text=True, check=True)
        times[threads] = float(out.stdout)
    text = genome.SIZES[0] * (genome.WIDTH + 1) / genome.WIDTH
    one, most = times[1], times[max(times)]
    print(f"  from genome.fa.gz: {text / one / 1e6:.0f} MB/s of text on 1 thread (one core of libdeflate and the "
          f"copy), {text / most / 1e6:.0f} MB/s on {max(times)} ({one / most:.2f}x)")


def pickling(path):
    small = os.path.join(tempfile.mkdtemp(), "small.fa")
    with open(small, "w") as f:
        f.write(">a\nACGT\n")
    print("\nPickling a Fasta (dumps + loads: the receiving side reopens the file, it does not scan it)")
    for label, p in (("4-base file", small), (f"{os.path.getsize(path) / 1e9:.1f} GB genome", path)):
        fa = Fasta(p)
        t = best_time(lambda: pickle.loads(pickle.dumps(fa)), repeat=50)
        print(f"  {label:<20} {t * 1e6:8.1f} us   {len(pickle.dumps(fa))} bytes")


def two_threads(path):
    fa = Fasta(path)
    regions = genome.read_bed()
    fa.fetch_many(regions)
    serial = best_time(lambda: (fa.fetch_many(regions), fa.fetch_many(regions)))
    # Two long-lived threads, as a thread pool keeps them; each returns its list to be dropped there.
    pool = concurrent.futures.ThreadPoolExecutor(2)
    work = lambda _: fa.fetch_many(regions) and None  # noqa: E731
    list(pool.map(work, range(2)))
    parallel = best_time(lambda: list(pool.map(work, range(2))))

    def fresh_pair():
        threads = [threading.Thread(target=fa.fetch_many, args=(regions,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    fresh = best_time(fresh_pair)
    pool.shutdown()
    print(f"\nTwo 200,000-region fetch_many on one Fasta: one after the other {serial:.3f} s, in two threads "
          f"at once {parallel:.3f} s (ratio {serial / parallel:.2f}x)")
    print(f"  (two threads started afresh for each pair: {fresh:.3f} s; a new thread's first strings come from "
          f"memory the allocator has not handed out before, which costs a page fault every 4 KiB)")


def wakeups_during_build(path):
    index = os.path.join(tempfile.mkdtemp(), "genome.fai")
    wakes = []
    stop = threading.Event()

    def sleeper():
        while not stop.is_set():
            time.sleep(0.001)
            wakes.append(time.perf_counter())

    thread = threading.Thread(target=sleeper)
    thread.start()
    t0 = time.perf_counter()
    Fasta(path, indexname=index)
    t1 = time.perf_counter()
    stop.set()
    thread.join()
    during = sum(t0 <= t <= t1 for t in wakes)
    print(f"\nIndex build of the genome: {t1 - t0:.3f} s; a thread sleeping 1 ms woke {during} times meanwhile "
          f"(at most {int((t1 - t0) * 1000)})")


COST = "about 60 s; a temporary .fai (1 kB); peak memory 2.3 GB."

if __name__ == "__main__":
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    scaling(path)
    whole_records(path)
    compressed_whole_record(path)
    pickling(path)
    two_threads(path)
    wakeups_during_build(path)
