"""Variant effect windows and personal haplotypes: fetch_variants and fetch_haplotypes against the
array methods over the same windows, and against the usual per-variant loop written with sekva's
own single fetch (fetch a str, splice the allele in, one-hot through a lookup table), in one run.
100,000 variants (70 % SNVs, 15 % insertions and 15 % deletions of up to 50 bases) with windows of
1,000 bases; 100,000 haplotypes of 1,000 bases with 5 variants each.
    python bench/bench_variants.py
"""
import random

import numpy as np

from common import best_time, command_line
import genome
from sekva import Fasta

VARIANTS, WIDTH, HAPLOTYPES, PER_HAPLOTYPE = 100_000, 1_000, 100_000, 5
DTYPE = "uint8"  # of the one-hot rows, the recipe's included
COST = ("about 60 s; no disk beyond bench/data; peak memory 2 GB (one-hot arrays of 200,000 x 1,000 x 4 "
        "bytes are compared).")


def make_variants(fa, count, seed):
    """Columns of `count` variants away from record ends, REF read from the genome."""
    rng = random.Random(seed)
    sites = genome.random_regions(count, 2 * WIDTH, seed)
    names = [n for n, _, _ in sites]
    positions = np.array([s + WIDTH for _, s, _ in sites], dtype=np.int64)
    kinds = [rng.random() for _ in range(count)]
    ref_lengths = np.array([1 + rng.randint(1, 50) if k > 0.85 else 1 for k in kinds], dtype=np.int64)
    data, offsets = fa.fetch_ragged(names=names, starts=positions, ends=positions + ref_lengths - 1)
    refs = [data[offsets[i]:offsets[i + 1]].tobytes().decode() for i in range(count)]
    alts = []
    for ref, k in zip(refs, kinds):
        if k < 0.7:
            alts.append("A" if ref[0].upper() != "A" else "C")
        elif k < 0.85:
            alts.append(ref[0] + "".join(rng.choices("ACGT", k=rng.randint(1, 50))))
        else:
            alts.append(ref[0])
    return names, positions, refs, alts


def lookup_table():
    table = np.zeros((256, 4), dtype=DTYPE)
    for i, c in enumerate(b"ACGT"):
        table[c, i] = table[c + 32, i] = 1
    return table


def recipe_loop(fa, names, positions, refs, alts):
    """One variant at a time, as the published recipes do it."""
    table, centre = lookup_table(), WIDTH // 2
    ref_out = np.empty((len(names), WIDTH, 4), dtype=DTYPE)
    alt_out = np.empty_like(ref_out)
    for i, (name, pos, ref, alt) in enumerate(zip(names, positions.tolist(), refs, alts)):
        start = pos - centre
        extra = max(0, len(ref) - len(alt))
        window = fa.get_seq(name, start, start + WIDTH - 1 + extra).seq
        alt_window = (window[:centre] + alt + window[centre + len(ref):])[:WIDTH]
        ref_out[i] = table[np.frombuffer(window[:WIDTH].encode(), dtype=np.uint8)]
        alt_out[i] = table[np.frombuffer(alt_window.encode(), dtype=np.uint8)]
    return ref_out, alt_out


def make_haplotypes(fa, count, seed):
    """`count` regions of WIDTH bases, each with PER_HAPLOTYPE SNVs and small indels inside."""
    rng = random.Random(seed)
    regions = genome.random_regions(count, WIDTH, seed + 1)
    positions = []
    for _, start, _ in regions:
        cuts = sorted(rng.sample(range(0, WIDTH - 10, 10), PER_HAPLOTYPE))
        positions.extend(start + c for c in cuts)
    names = [n for n, _, _ in regions for _ in range(PER_HAPLOTYPE)]
    positions = np.array(positions, dtype=np.int64)
    ref_lengths = np.array([rng.choice([1, 1, 1, 3]) for _ in positions], dtype=np.int64)
    data, offsets = fa.fetch_ragged(names=names, starts=positions, ends=positions + ref_lengths - 1)
    refs = [data[offsets[i]:offsets[i + 1]].tobytes().decode() for i in range(len(positions))]
    alts = [r[0] + "G" * rng.choice([0, 0, 2]) if len(r) == 1 else r[0] for r in refs]
    variant_offsets = np.arange(0, len(positions) + 1, PER_HAPLOTYPE, dtype=np.int64)
    return regions, variant_offsets, positions, refs, alts


def main():
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    fa = Fasta(path)
    names, positions, refs, alts = make_variants(fa, VARIANTS, 7)
    centre = WIDTH // 2
    # The same 200,000 windows as fetch_array takes them: each variant's reference window twice.
    twice_names = names + names
    twice_starts = np.concatenate([positions - centre, positions - centre])

    def array_windows():
        return fa.fetch_array(names=twice_names, starts=twice_starts, ends=twice_starts + WIDTH - 1)

    def onehot_windows():
        return fa.fetch_onehot(names=twice_names, starts=twice_starts, ends=twice_starts + WIDTH - 1, dtype=DTYPE)

    def variant_codes():
        return fa.fetch_variants(names, positions, refs, alts, width=WIDTH)

    def variant_onehot():
        return fa.fetch_variants(names, positions, refs, alts, width=WIDTH, onehot=True, dtype=DTYPE)

    # Same bases: the reference windows are fetch_array's, and the recipe gives the one-hot rows.
    codes = variant_codes()
    assert np.array_equal(codes[0], array_windows()[:VARIANTS])
    sample = slice(0, 2_000)
    slow = recipe_loop(fa, names[sample], positions[sample], refs[sample], alts[sample])
    hot = variant_onehot()
    assert np.array_equal(slow[0], hot[0][sample]) and np.array_equal(slow[1], hot[1][sample])
    del codes, hot, slow

    t_array, t_codes = best_time(array_windows), best_time(variant_codes)
    t_onehot, t_variant_onehot = best_time(onehot_windows), best_time(variant_onehot)
    subset = slice(0, 20_000)
    t_recipe = best_time(lambda: recipe_loop(fa, names[subset], positions[subset], refs[subset], alts[subset]), 1)
    recipe_rate = 20_000 / t_recipe

    regions, variant_offsets, hpos, hrefs, halts = make_haplotypes(fa, HAPLOTYPES, 11)
    hnames = [n for n, _, _ in regions]
    hstarts = np.array([s for _, s, _ in regions], dtype=np.int64)

    def haplotypes():
        return fa.fetch_haplotypes(names=hnames, starts=hstarts, ends=hstarts + WIDTH - 1,
                                   variant_offsets=variant_offsets, positions=hpos, refs=hrefs, alts=halts, width=WIDTH)

    def same_windows():
        return fa.fetch_array(names=hnames, starts=hstarts, ends=hstarts + WIDTH - 1)

    t_haplotypes, t_same = best_time(haplotypes), best_time(same_windows)

    print(f"\n{VARIANTS:,} variants, windows of {WIDTH:,} bases (best of 3; the recipe loop over 20,000, once)")
    print(f"{'task':<58} {'time':>9} {'rate':>16} {'ratio':>8}")
    rows = [
        ("fetch_array, the same 200,000 windows", t_array, 2 * VARIANTS / t_array, "windows/s", None),
        ("fetch_variants, codes (ref and alt windows)", t_codes, 2 * VARIANTS / t_codes, "windows/s", t_array / t_codes),
        (f"fetch_onehot {DTYPE}, the same 200,000 windows", t_onehot, 2 * VARIANTS / t_onehot, "windows/s", None),
        (f"fetch_variants, one-hot {DTYPE}", t_variant_onehot, 2 * VARIANTS / t_variant_onehot, "windows/s",
         t_onehot / t_variant_onehot),
        ("recipe loop: get_seq, splice, one-hot table", t_recipe, recipe_rate, "variants/s", None),
        ("fetch_variants one-hot against the recipe loop", t_variant_onehot, VARIANTS / t_variant_onehot, "variants/s",
         VARIANTS / t_variant_onehot / recipe_rate),
        (f"fetch_array, {HAPLOTYPES:,} windows of the haplotypes", t_same, HAPLOTYPES / t_same, "windows/s", None),
        (f"fetch_haplotypes, {PER_HAPLOTYPE} variants each", t_haplotypes, HAPLOTYPES / t_haplotypes, "haplotypes/s",
         t_same / t_haplotypes),
    ]
    for task, t, rate, unit, ratio in rows:
        shown = f"{ratio:>7.2f}x" if ratio is not None else ""
        print(f"{task:<58} {t:>8.3f}s {rate:>10,.0f} {unit:<12} {shown}")
    print("ratio: against the row above it (fetch_array, fetch_onehot: their time / ours, so 1 is the same speed;"
          " the recipe: our rate / its rate)")


if __name__ == "__main__":
    main()
