"""Processes and threads: pickling a Fasta, two threads running batches at once, and another
thread running while an index is built, all in one run.
    python bench/bench_parallel.py
"""
import concurrent.futures
import os
import pickle
import tempfile
import threading
import time

from common import best_time, command_line
import genome
from sekva import Fasta


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


COST = "about 20 s; a temporary .fai (1 kB); peak memory 2.3 GB."

if __name__ == "__main__":
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    pickling(path)
    two_threads(path)
    wakeups_during_build(path)
