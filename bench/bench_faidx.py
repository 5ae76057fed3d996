"""Faidx against samtools faidx, pysam and pyfastx on the synthetic genome, in one run.

Prints ratios (peer time / sekva time). Peers that are not installed are left out.
    python bench/bench_faidx.py
"""
import os
import shutil
import subprocess
import time

from common import best_time, command_line, optional_peer, print_table
import genome
from sekva import Faidx

pysam = optional_peer("pysam")
pyfastx = optional_peer("pyfastx")


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def bench_index(path):
    rows = []
    for suffix in (".fai", ".fxi"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    ours = best_time(lambda: (os.path.exists(path + ".fai") and os.unlink(path + ".fai"), Faidx(path)), repeat=3)
    if shutil.which("samtools"):
        alias = path + ".samtools.fa"
        if not os.path.exists(alias):
            os.symlink(os.path.basename(path), alias)

        def samtools():
            if os.path.exists(alias + ".fai"):
                os.unlink(alias + ".fai")
            subprocess.run(["samtools", "faidx", alias], check=True)

        rows.append(("build index (1.4 GB, warm cache)", ours, "samtools faidx", best_time(samtools, repeat=2)))
    if pyfastx:
        def build_fxi():
            if os.path.exists(path + ".fxi"):
                os.unlink(path + ".fxi")
            pyfastx.Fasta(path)

        rows.append(("build index (1.4 GB, warm cache)", ours, "pyfastx.Fasta", best_time(build_fxi, repeat=1)))
    if not rows:
        rows.append(("build index (1.4 GB, warm cache)", ours, "-", 0.0))
    return rows


def bench_single(path, regions):
    fa = Faidx(path)
    rows = []
    ours = best_time(lambda: [fa.fetch(n, s, e) for n, s, e in regions])
    if pysam:
        ff = pysam.FastaFile(path)
        assert ff.fetch(*_zero_based(regions[0])) == fa.fetch(*regions[0]).seq
        rows.append((f"{len(regions):,} x fetch of 100 bases", ours, "pysam FastaFile.fetch",
                     best_time(lambda: [ff.fetch(n, s - 1, e) for n, s, e in regions])))
    if pyfastx:
        px = pyfastx.Fasta(path)
        records = {name: px[name] for name in genome.names()}
        n, s, e = regions[0]
        assert records[n][s - 1 : e].seq == fa.fetch(n, s, e).seq
        rows.append((f"{len(regions):,} x fetch of 100 bases", ours, "pyfastx record[s:e].seq",
                     best_time(lambda: [records[n][s - 1 : e].seq for n, s, e in regions])))
    return rows


def _zero_based(region):
    n, s, e = region
    return n, s - 1, e


def bench_whole(path):
    fa = Faidx(path)
    size = genome.SIZES[0]
    ours = best_time(lambda: fa.fetch_entire_sequence(genome.BIG), repeat=5)
    print(f"\nfetch_entire_sequence of a {size / 1e6:.0f} Mb record: {size / ours / 1e9:.2f} GB/s")
    rows = []
    if pysam:
        ff = pysam.FastaFile(path)
        rows.append(("whole 100 Mb record", ours, "pysam FastaFile.fetch",
                     best_time(lambda: ff.fetch(genome.BIG), repeat=3)))
    if pyfastx:
        px = pyfastx.Fasta(path)
        rows.append(("whole 100 Mb record", ours, "pyfastx record.seq", best_time(lambda: px[genome.BIG].seq, repeat=3)))
    return rows


def open_indexed(path):
    fa = Faidx(path)  # make sure the index exists
    del fa
    fds = len(os.listdir("/proc/self/fd"))
    t0 = time.perf_counter()
    fa = Faidx(path)
    elapsed = time.perf_counter() - t0
    print(f"\nopening the indexed genome: {elapsed * 1e3:.2f} ms, descriptors held open: "
          f"{len(os.listdir('/proc/self/fd')) - fds}")


COST = (
    "about 70 s; no disk beyond bench/data (pyfastx adds its 25 kB .fxi, samtools its .fai beside "
    "a link to the genome); peak memory 1.5 GB, most of it the genome's pages mapped by the "
    "readers."
)


def main():
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    warm(path)
    regions = genome.random_regions(50_000, 100, seed=5)
    print_table("Index and single fetches", bench_index(path) + bench_single(path, regions))
    print_table("Whole record", bench_whole(path))
    open_indexed(path)


if __name__ == "__main__":
    main()
