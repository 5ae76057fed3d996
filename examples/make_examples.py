"""Writes the example genome and peaks the README's examples read: genome.fa, peaks.bed, regions.txt,
and samples.vcf (phased genotypes of three samples) for the haplotype example.

    python make_examples.py [DIRECTORY]      (default: the folder of this script)

The files are the same bytes on every run and every interpreter (a seeded random.Random, no other
input), so they can be remade instead of trusted: four records of 60-column lines, about 260 kb in
all, with soft-masked (lower-case) stretches, runs of N at record ends and in gaps, and 400 peaks
on both strands that lie on bases, never on N.
"""
import os
import random
import sys

SEED = 20261209
WIDTH = 60
# name, length, description, [N runs as 0-based half-open intervals]
RECORDS = [
    ("chr1", 120_000, "example chromosome 1", [(60_000, 62_000)]),
    ("chr2", 80_000, "example chromosome 2", [(0, 5_000), (41_000, 41_500), (77_000, 80_000)]),
    ("chr3", 45_000, "example chromosome 3", [(0, 1_000), (20_000, 20_100)]),
    ("chrM", 16_569, "example mitochondrion", []),
]
PEAKS = 400
SAMPLES = ["NA00001", "NA00002", "NA00003"]


def record_bases(rng, length, gaps):
    """Bases of one record: GC content drifting from stretch to stretch, soft-masked repeats, gaps."""
    bases = []
    while len(bases) < length:
        gc = rng.uniform(0.3, 0.65)
        weights = [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2]
        bases.extend(rng.choices("ACGT", weights, k=min(rng.randint(500, 4_000), length - len(bases))))
    # A repeat copied to a few places, soft-masked (lower case) as RepeatMasker output is, and
    # shorter masked stretches elsewhere.
    repeat = "".join(rng.choices("acgt", k=300))
    for _ in range(length // 20_000):
        at = rng.randrange(0, length - len(repeat))
        bases[at : at + len(repeat)] = repeat
    for _ in range(length // 4_000):
        at = rng.randrange(0, length)
        for i in range(at, min(length, at + rng.randint(50, 800))):
            bases[i] = bases[i].lower()
    for start, end in gaps:
        bases[start:end] = "N" * (end - start)
    return "".join(bases)


def peaks(rng, sequences):
    """PEAKS sorted BED6 lines, each on bases only, strands mixed."""
    out = []
    names = [name for name, _, _, _ in RECORDS]
    sizes = [length for _, length, _, _ in RECORDS]
    while len(out) < PEAKS:
        i = rng.choices(range(len(names)), weights=sizes)[0]
        length = rng.randint(150, 800)
        start = rng.randrange(0, sizes[i] - length)
        if "N" in sequences[i][start : start + length]:
            continue
        out.append((i, start, start + length, rng.randint(0, 1000), rng.choice("+-")))
    out.sort()
    return [f"{names[i]}\t{s}\t{e}\tpeak{k + 1}\t{score}\t{strand}\n"
            for k, (i, s, e, score, strand) in enumerate(out)]


def variants(rng, sequences):
    """A VCF of SNVs, insertions and deletions on bases (never N), at least 40 bases apart, with
    phased genotypes of SAMPLES."""
    lines = ["##fileformat=VCFv4.2\n"]
    lines += [f"##contig=<ID={name},length={length}>\n" for name, length, _, _ in RECORDS]
    lines += ['##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n',
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(SAMPLES) + "\n"]
    for (name, length, _, _), seq in zip(RECORDS, sequences):
        at = rng.randint(20, 200)
        while at < length - 100:
            kind = rng.choices(["snv", "ins", "del"], [6, 2, 2])[0]
            size = 1 if kind == "snv" else rng.randint(1, 12)
            ref = seq[at : at + (size + 1 if kind == "del" else 1)].upper()
            if "N" not in ref:
                if kind == "snv":
                    alt = rng.choice([b for b in "ACGT" if b != ref])
                elif kind == "ins":
                    alt = ref + "".join(rng.choices("ACGT", k=size))
                else:
                    alt = ref[0]
                gts = "\t".join(f"{rng.choice('0011')}|{rng.choice('001')}" for _ in SAMPLES)
                lines.append(f"{name}\t{at + 1}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT\t{gts}\n")
            at += rng.randint(40, 600)
    return lines


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    where = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    rng = random.Random(SEED)
    sequences = [record_bases(rng, length, gaps) for _, length, _, gaps in RECORDS]
    with open(os.path.join(where, "genome.fa"), "w", newline="\n") as f:
        for (name, length, description, _), seq in zip(RECORDS, sequences):
            f.write(f">{name} {description}, {length} bases\n")
            f.writelines(seq[i : i + WIDTH] + "\n" for i in range(0, length, WIDTH))
    with open(os.path.join(where, "peaks.bed"), "w", newline="\n") as f:
        f.writelines(peaks(rng, sequences))
    with open(os.path.join(where, "regions.txt"), "w", newline="\n") as f:
        f.write("chr1:1,000-1,100\nchr2:5,001-5,060\nchr3:30,000-30,119\nchrM\n")
    with open(os.path.join(where, "samples.vcf"), "w", newline="\n") as f:
        f.writelines(variants(rng, sequences))


if __name__ == "__main__":
    main()
