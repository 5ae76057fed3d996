"""Personal haplotypes of the peaks of a BED file, for every sample of a phased VCF: cyvcf2 reads the
genotypes, each (peak, sample, haplotype) becomes one row of variants in the CSR layout, and one
fetch_haplotypes call builds every row.

    python haplotypes.py genome.fa samples.vcf peaks.bed [--width 500] > haplotypes.txt

Prints one line per row: peak, sample, haplotype (0 or 1), and the haplotype's bases (the first
`width` from the peak's start, or the whole peak with --width 0). Needs cyvcf2 and numpy.
"""
import argparse
import bisect
import sys

import numpy as np
from cyvcf2 import VCF

from sekva import Fasta


def read_peaks(path):
    """(name, record, 1-based start, end) of each BED line."""
    peaks = []
    with open(path) as bed:
        for line in bed:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 3 and not line.startswith(("#", "track", "browser")):
                name = fields[3] if len(fields) > 3 else f"{fields[0]}:{fields[1]}-{fields[2]}"
                peaks.append((name, fields[0], int(fields[1]) + 1, int(fields[2])))
    return peaks


def read_variants(path):
    """Per record: positions, REF, ALT alleles and the genotype array (variants x samples x 2,
    allele numbers, -1 for missing) of its biallelic or multiallelic variants; and the samples."""
    vcf = VCF(path)
    by_record = {}
    for v in vcf:
        if v.is_sv or any(a.startswith("<") or a in ("*", ".") for a in v.ALT):
            continue  # symbolic alleles carry no bases
        rows = by_record.setdefault(v.CHROM, ([], [], [], []))
        rows[0].append(v.POS)
        rows[1].append(v.REF)
        rows[2].append(v.ALT)
        rows[3].append(v.genotype.array()[:, :2])
    samples = list(vcf.samples)
    vcf.close()
    return {chrom: (pos, ref, alt, np.array(gt)) for chrom, (pos, ref, alt, gt) in by_record.items()}, samples


def haplotype_rows(peaks, variants, samples):
    """The CSR layout: per row (peak x sample x haplotype), the ALT alleles that haplotype carries
    inside the peak, in position order, a variant that overlaps the one before it left out."""
    rows, positions, refs, alts, offsets = [], [], [], [], [0]
    for name, record, start, end in peaks:
        pos, ref, alt, gt = variants.get(record, ([], [], [], np.empty((0, len(samples), 2))))
        first, last = bisect.bisect_left(pos, start), bisect.bisect_right(pos, end)
        for s, sample in enumerate(samples):
            for hap in (0, 1):
                reach = 0  # the last base of REF taken so far
                for k in range(first, last):
                    allele = gt[k, s, hap]
                    if allele > 0 and pos[k] > reach:
                        positions.append(pos[k])
                        refs.append(ref[k])
                        alts.append(alt[k][allele - 1])
                        reach = pos[k] + len(ref[k]) - 1
                rows.append((name, record, start, end, sample, hap))
                offsets.append(len(positions))
    return rows, np.array(offsets), np.array(positions), refs, alts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fasta")
    parser.add_argument("vcf")
    parser.add_argument("bed")
    parser.add_argument("--width", type=int, default=500, help="bases per row (0: each haplotype whole)")
    args = parser.parse_args(argv)

    genome = Fasta(args.fasta)
    variants, samples = read_variants(args.vcf)
    rows, offsets, positions, refs, alts = haplotype_rows(read_peaks(args.bed), variants, samples)
    columns = dict(names=[r[1] for r in rows], starts=[r[2] for r in rows], ends=[r[3] for r in rows],
                   variant_offsets=offsets, positions=positions, refs=refs, alts=alts)
    out = sys.stdout
    if args.width:
        codes = genome.fetch_haplotypes(**columns, width=args.width)
        texts = (row.tobytes().decode() for row in codes)
    else:
        data, ends = genome.fetch_haplotypes(**columns)
        texts = (data[a:b].tobytes().decode() for a, b in zip(ends[:-1], ends[1:]))
    for (name, _, _, _, sample, hap), text in zip(rows, texts):
        out.write(f"{name}\t{sample}\t{hap}\t{text}\n")


if __name__ == "__main__":
    main()
