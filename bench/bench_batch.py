"""Batch fetches against loops of pysam and pyfastx, worker scaling, and peak memory, in one run.
    python bench/bench_batch.py
"""
import os
import random
import subprocess
import sys
import textwrap

from common import best_time, command_line, optional_peer, print_table
import genome
from sekva import Faidx

pysam = optional_peer("pysam")
pyfastx = optional_peer("pyfastx")


def bed_batch(path, regions):
    fa = Faidx(path)
    ours = best_time(lambda: fa.fetch_many(regions))
    got = fa.fetch_many(regions)
    sample = random.Random(1).sample(range(len(regions)), 2000)
    rows = []
    if pysam:
        ff = pysam.FastaFile(path)
        assert all(got[i].seq == ff.fetch(regions[i][0], regions[i][1] - 1, regions[i][2]) for i in sample)
        rows.append((f"fetch_many, {len(regions):,} BED regions", ours, "loop of pysam fetch",
                     best_time(lambda: [ff.fetch(n, s - 1, e) for n, s, e in regions], repeat=2)))
    if pyfastx:
        px = pyfastx.Fasta(path)
        recs = {name: px[name] for name in genome.names()}
        assert all(got[i].seq == recs[regions[i][0]][regions[i][1] - 1 : regions[i][2]].seq for i in sample)
        rows.append((f"fetch_many, {len(regions):,} BED regions", ours, "loop of pyfastx slices",
                     best_time(lambda: [recs[n][s - 1 : e].seq for n, s, e in regions], repeat=2)))
    return rows


def same_chr(path):
    fa = Faidx(path)
    rng = random.Random(9)
    pairs = [(s, s + 99) for s in (rng.randint(1, genome.SIZES[0] - 100) for _ in range(200_000))]
    ours = best_time(lambda: fa.fetch_many_same_chr(genome.BIG, pairs))
    print(f"\nfetch_many_same_chr: {len(pairs) / ours / 1e6:.2f} million regions of 100 bases per second")
    single = best_time(lambda: [fa.fetch(genome.BIG, s, e) for s, e in pairs], repeat=2)
    return [("200,000 x 100 bases on one record", ours, "loop of Faidx.fetch", single)]


SCALING = textwrap.dedent(
    """
    import random, sys, time
    from sekva import Faidx
    fa = Faidx(sys.argv[1])
    rng = random.Random(4)
    pairs = [(s, s + 9999) for s in (rng.randint(1, 99_000_000) for _ in range(20_000))]
    fa.fetch_many_same_chr("chr1", pairs[:2000])
    times = []
    for _ in range(3):
        t0 = time.perf_counter(); fa.fetch_many_same_chr("chr1", pairs); times.append(time.perf_counter() - t0)
    print(min(times))
    """
)

MEMORY = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[2])
    import genome
    from sekva import Faidx
    # Read through the descriptor: mapped file pages would count as resident memory too.
    fa = Faidx(sys.argv[1], mutable=True)
    regions = genome.read_bed()
    def status(field):  # kB; VmHWM is this process's own peak (ru_maxrss would include its parent's)
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field))
    before = status("VmRSS:")
    out = fa.fetch_many(regions)
    after = status("VmHWM:")
    kept = sum(sys.getsizeof(s.seq) + sys.getsizeof(s) for s in out)
    print((after - before) * 1024, kept)
    """
)


def scaling(path):
    times = {}
    for threads in ("1", "2"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", SCALING, path], env=env, capture_output=True, text=True, check=True)
        times[threads] = float(out.stdout)
    print(f"\n20,000 regions of 10 kb, fetch_many_same_chr: 1 worker {times['1']:.3f}s, "
          f"2 workers {times['2']:.3f}s ({times['1'] / times['2']:.2f}x)")


def memory(path):
    out = subprocess.run([sys.executable, "-c", MEMORY, path, os.path.dirname(os.path.abspath(__file__))],
                         capture_output=True, text=True, check=True)
    growth, kept = map(int, out.stdout.split())
    print(f"peak memory growth of a 200,000-region fetch_many: {growth / 1e6:.0f} MB for {kept / 1e6:.0f} MB "
          f"of returned Sequence objects ({growth / kept:.2f}x)")


def run(path):
    regions = genome.read_bed()
    print_table("Batch fetches", bed_batch(path, regions) + same_chr(path))
    scaling(path)
    memory(path)


COST = "about 25 s; no disk beyond bench/data; peak memory 1.7 GB."

if __name__ == "__main__":
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    run(path)
