"""The benchmark genome compressed with bgzip: building its indexes, single fetches, a BED batch and
decompression throughput, beside samtools and pysam on the same compressed file, in one run.
    python bench/bench_compressed.py      (makes genome.fa.gz with bgzip on first use)
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

from common import best_time, command_line, optional_peer, print_table
import genome
from sekva import Faidx

pysam = optional_peer("pysam")


def compressed_genome(path):
    packed = path + ".gz"
    if not os.path.exists(packed) or os.path.getmtime(packed) < os.path.getmtime(path):
        subprocess.run(["bgzip", "-@2", "-k", "-f", path], check=True)
    return packed


def plain_inflate(packed):
    """One zlib pass over every block of the file, one thread: what any reader of it starts from."""
    data = memoryview(open(packed, "rb").read())
    t0 = time.perf_counter()
    total, at = 0, 0
    while at < len(data):
        size = int.from_bytes(data[at + 16 : at + 18], "little") + 1  # BSIZE of the BGZF block
        total += len(zlib.decompress(data[at + 18 : at + size - 8], -15))
        at += size
    return total, time.perf_counter() - t0


WHOLE = """
import sys, time
sys.path.insert(0, sys.argv[2])
import genome
from sekva import Faidx
fa = Faidx(sys.argv[1])
def read_all():
    for name in genome.names():
        fa.fetch_entire_sequence(name)
best = float("inf")
for _ in range(2):
    t0 = time.perf_counter()
    read_all()
    best = min(best, time.perf_counter() - t0)
print(best)
"""


def blocks_touched(packed, regions, text_size):
    """Text bytes of the distinct BGZF blocks that hold the regions' bases (from the .fai and .gzi
    sekva wrote beside the file): what any reader of those regions must inflate."""
    import bisect
    import struct
    fai = {}
    with open(packed + ".fai") as f:
        for line in f:
            name, length, offset, lenc, lenb = line.split("\t")[:5]
            fai[name] = (int(offset), int(lenc), int(lenb))
    with open(packed + ".gzi", "rb") as f:
        data = f.read()
    count = struct.unpack_from("<Q", data)[0]
    starts = [0] + [struct.unpack_from("<Q", data, 16 + 16 * i)[0] for i in range(count)]
    touched = set()
    for name, start, end in regions:
        offset, lenc, lenb = fai[name]
        first = offset + (start - 1) // lenc * lenb + (start - 1) % lenc
        last = offset + (end - 1) // lenc * lenb + (end - 1) % lenc
        touched.update(range(bisect.bisect_right(starts, first) - 1, bisect.bisect_right(starts, last)))
    sizes = [b - a for a, b in zip(starts, starts[1:] + [text_size])]
    return sum(sizes[i] for i in touched)


def whole_on_threads(packed, threads):
    """Every record read whole, each string dropped before the next is read (best of 2), in a
    process whose jobs run on `threads` threads."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", WHOLE, packed, os.path.dirname(os.path.abspath(__file__))], env=env,
                         capture_output=True, text=True, check=True)
    return float(out.stdout)


COST = (
    "about 15 minutes the first time, 12 of them bgzip writing bench/data/genome.fa.gz (0.4 GB "
    "more disk, kept for later runs and for bench_stalls.py), then about 3 minutes, most of it a "
    "pysam loop over the 200,000 regions of the compressed file; peak memory 2.1 GB."
)


def main():
    command_line(__doc__, COST).parse_args()
    plain_path, bed = genome.ensure()
    packed = compressed_genome(plain_path)
    work = tempfile.mkdtemp(prefix="sekva-bench-gz-")
    copy = os.path.join(work, "genome.fa.gz")
    os.symlink(packed, copy)
    rows = []

    def ours_build():
        for suffix in (".fai", ".gzi"):
            if os.path.exists(copy + suffix):
                os.unlink(copy + suffix)
        Faidx(copy)

    if shutil.which("samtools"):
        def samtools_build():
            for suffix in (".fai", ".gzi"):
                if os.path.exists(copy + suffix):
                    os.unlink(copy + suffix)
            subprocess.run(["samtools", "faidx", copy], check=True)

        theirs = best_time(samtools_build, 1)
        theirs_fai = open(copy + ".fai", "rb").read()
        ours = best_time(ours_build, 2)
        # samtools leaves records without bases out of its index; the genome has none
        assert open(copy + ".fai", "rb").read() == theirs_fai
        rows.append(("build .fai and .gzi of genome.fa.gz", ours, "samtools faidx", theirs))
    else:
        ours_build()

    fa, flat = Faidx(copy), Faidx(plain_path)
    rng = random.Random(5)
    spread = [(n, s, s + 99) for n, s in ((rng.choice(genome.names()), rng.randint(1, 30_000_000)) for _ in range(20_000))]
    near = [("chr1", s, s + 99) for s in (5_000_000 + rng.randint(0, 60_000) for _ in range(20_000))]
    assert [fa.fetch(*r).seq for r in spread[:200]] == [flat.fetch(*r).seq for r in spread[:200]]
    ours_spread = best_time(lambda: [fa.fetch(*r) for r in spread])
    ours_near = best_time(lambda: [fa.fetch(*r) for r in near])
    flat_near = best_time(lambda: [flat.fetch(*r) for r in near])
    regions = genome.read_bed(bed)
    ours_batch = best_time(lambda: fa.fetch_many(regions))
    flat_batch = best_time(lambda: flat.fetch_many(regions))
    if pysam:
        ff = pysam.FastaFile(copy)
        assert all(fa.fetch(n, s, e).seq == ff.fetch(n, s - 1, e) for n, s, e in spread[:200])
        rows.append(("20,000 fetches of 100 bases, random places", ours_spread, "pysam fetch (gz)",
                     best_time(lambda: [ff.fetch(n, s - 1, e) for n, s, e in spread], 1)))
        rows.append((f"fetch_many, {len(regions):,} BED regions", ours_batch, "loop of pysam fetch (gz)",
                     best_time(lambda: [ff.fetch(n, s - 1, e) for n, s, e in regions], 1)))
    rows.append(("20,000 fetches of 100 bases within one block", ours_near, "sekva, uncompressed file", flat_near))
    print_table("BGZF-compressed genome", rows)

    size = os.path.getsize(packed)
    total, inflate = plain_inflate(packed)
    cores = len(os.sched_getaffinity(0))
    whole = whole_on_threads(copy, cores)
    one_core = whole_on_threads(copy, 1)
    print(f"\ngenome.fa.gz: {size / 1e6:.0f} MB compressed, {total / 1e6:.0f} MB of text")
    print(f"sekva reads every record whole at {total / whole / 1e6:.0f} MB/s on {cores} "
          f"cores; on one thread (RAYON_NUM_THREADS=1: one core of libdeflate and the copy) "
          f"{total / one_core / 1e6:.0f} MB/s ({one_core / whole:.2f}x); one zlib pass over the file inflates "
          f"{total / inflate / 1e6:.0f} MB/s")
    # The batch's own cost beside what inflating its blocks once costs, in processor time (every
    # thread's), which other jobs on the machine change less than they change wall time.
    needed = blocks_touched(copy, regions, total)
    unavoidable = one_core * needed / total
    gz_cpu = best_time(lambda: fa.fetch_many(regions), 2, time.process_time)
    flat_cpu = best_time(lambda: flat.fetch_many(regions), 2, time.process_time)
    print(f"fetch_many of the {len(regions):,} BED regions: {ours_batch:.2f} s from genome.fa.gz, {flat_batch:.2f} s "
          f"from genome.fa ({gz_cpu:.2f} s and {flat_cpu:.2f} s of processor time); the blocks they lie in hold "
          f"{needed / 1e6:.0f} MB of text, which one thread reads whole in {unavoidable:.2f} s: the compressed "
          f"batch takes {gz_cpu - flat_cpu:.2f} s of processor time more than the plain one, "
          f"{(gz_cpu - flat_cpu) / unavoidable:.2f}x that")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
