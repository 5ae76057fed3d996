"""Deterministic synthetic genome and BED regions for the benchmarks (written once, then reused)."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("SEKVA_BENCH_DATA", os.path.join(HERE, "data"))
GENOME = os.path.join(DATA, "genome.fa")
BED = os.path.join(DATA, "regions.bed")
WIDTH = 60
BIG = "chr1"  # exactly 100 Mb
# Two dozen records, 1.40 billion bases (1.43 GB of FASTA) in all.
SIZES = [100_000_000] + [38_000_000 + 1_700_000 * i for i in range(23)]
REGION_COUNT = 200_000


def _record(rng, length):
    import numpy as np  # only for writing the data: its BLAS threads would skew the timings

    codes = rng.integers(0, 4, size=length, dtype=np.uint8)
    bases = np.frombuffer(b"ACGT", dtype=np.uint8)[codes]
    # Soft-masked stretches (lower case) and runs of N, as repeats and gaps look in real assemblies.
    for _ in range(length // 200_000):
        a = int(rng.integers(0, length - 5000))
        bases[a : a + int(rng.integers(100, 5000))] |= 0x20
    for _ in range(length // 2_000_000):
        a = int(rng.integers(0, length - 50_000))
        bases[a : a + int(rng.integers(1000, 50_000))] = ord("N")
    rows = length // WIDTH
    lines = np.empty((rows, WIDTH + 1), dtype=np.uint8)
    lines[:, :WIDTH] = bases[: rows * WIDTH].reshape(rows, WIDTH)
    lines[:, WIDTH] = ord("\n")
    tail = bases[rows * WIDTH :].tobytes()
    return lines.tobytes() + (tail + b"\n" if tail else b"")


def names():
    return [f"chr{i + 1}" for i in range(len(SIZES))]


def ensure():
    """Writes the genome and the BED file unless they are already there; returns their paths."""
    os.makedirs(DATA, exist_ok=True)
    total = sum(SIZES)
    if not os.path.exists(GENOME) or os.path.getsize(GENOME) < total:
        import numpy as np

        rng = np.random.default_rng(20261208)
        tmp = GENOME + ".part"
        with open(tmp, "wb") as f:
            for name, size in zip(names(), SIZES):
                f.write(f">{name} synthetic record of {size} bases\n".encode())
                f.write(_record(rng, size))
        os.replace(tmp, GENOME)
    if not os.path.exists(BED):
        rng = random.Random(42)
        with open(BED + ".part", "w") as f:
            for _ in range(REGION_COUNT):
                i = rng.randrange(len(SIZES))
                length = rng.randint(100, 1000)
                start = rng.randrange(0, SIZES[i] - length)
                f.write(f"{names()[i]}\t{start}\t{start + length}\n")
        os.replace(BED + ".part", BED)
    return GENOME, BED


def read_bed(path=BED):
    """BED lines as 1-based inclusive (name, start, end) tuples."""
    out = []
    with open(path) as f:
        for line in f:
            name, start, end = line.split("\t")[:3]
            out.append((name, int(start) + 1, int(end)))
    return out


def random_regions(count, length, seed):
    """`count` random 1-based regions of `length` bases, spread over every record."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        i = rng.randrange(len(SIZES))
        start = rng.randint(1, SIZES[i] - length)
        out.append((names()[i], start, start + length - 1))
    return out
