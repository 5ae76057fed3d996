"""Windows for machine learning: fetch_array and fetch_onehot against a pysam loop and against
sekva's own fetch_many, each followed by the same conversion into one numpy array, in one run.
100,000 windows of 1,000 bases centred on the BED regions, half of them on the minus strand.
    python bench/bench_arrays.py
"""
import numpy as np

from common import best_time, command_line, optional_peer, print_table
import genome
from sekva import Fasta

pysam = optional_peer("pysam")
WINDOWS, WIDTH = 100_000, 1_000
COMPLEMENT = bytes.maketrans(b"ACGTacgtNn", b"TGCAtgcaNn")


def windows():
    regions = genome.read_bed()[:WINDOWS]
    names = [n for n, _, _ in regions]
    starts = np.array([s + ((e - s + 1) - WIDTH) // 2 for _, s, e in regions])
    minus = np.arange(len(regions)) % 2 == 1
    return names, starts, minus


def lookup_table():
    table = np.zeros((256, 4), dtype=np.float32)
    for i, c in enumerate(b"ACGT"):
        table[c, i] = table[c + 32, i] = 1
    return table


COST = (
    "about 65 s; no disk beyond bench/data; peak memory 4.8 GB, as the one-hot rows compared are "
    "two float32 arrays of 100,000 x 1,000 x 4 (1.6 GB each)."
)


def main():
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    fa = Fasta(path)
    names, starts, minus = windows()
    ends = starts + WIDTH - 1
    lengths = {n: len(fa[n]) for n in set(names)}
    regions = list(zip(names, starts.tolist(), ends.tolist()))
    rows = []

    ours = best_time(lambda: fa.fetch_array(names=names, starts=starts, ends=ends, rc=minus))
    got = fa.fetch_array(names=names, starts=starts, ends=ends, rc=minus)

    def own_batch():
        out = np.empty((len(regions), WIDTH), dtype=np.uint8)
        for i, s in enumerate(fa.fetch_many(regions)):
            out[i] = np.frombuffer(((-s).seq if minus[i] else s.seq).encode(), dtype=np.uint8)
        return out

    assert np.array_equal(own_batch(), got)
    rows.append((f"fetch_array, {len(regions):,} x {WIDTH}", ours, "fetch_many + conversion", best_time(own_batch, 2)))

    if pysam:
        ff = pysam.FastaFile(path)
        # Every window lies inside its record here, so pysam needs no padding.
        assert all(0 < s and e <= lengths[n] for n, s, e in regions)

        def pysam_rows():
            out = np.empty((len(regions), WIDTH), dtype=np.uint8)
            for i, (n, s, e) in enumerate(regions):
                text = ff.fetch(n, s - 1, e).encode()
                out[i] = np.frombuffer(text.translate(COMPLEMENT)[::-1] if minus[i] else text, dtype=np.uint8)
            return out

        assert np.array_equal(pysam_rows()[:1000], got[:1000])
        rows.append((f"fetch_array, {len(regions):,} x {WIDTH}", ours, "pysam loop + frombuffer", best_time(pysam_rows, 1)))

        table = lookup_table()
        hot = best_time(lambda: fa.fetch_onehot(names=names, starts=starts, ends=ends, rc=minus, dtype="float32"))
        ours_hot = fa.fetch_onehot(names=names, starts=starts, ends=ends, rc=minus, dtype="float32")

        def pysam_onehot():
            return table[pysam_rows()]

        assert np.array_equal(pysam_onehot()[:1000], ours_hot[:1000])
        rows.append(("fetch_onehot float32", hot, "pysam loop + lookup table", best_time(pysam_onehot, 1)))

    print_table("Arrays for machine learning", rows)
    source = np.ones(len(regions) * WIDTH, dtype=np.uint8)
    target = np.empty_like(source)
    copy = best_time(lambda: np.copyto(target, source), repeat=5)
    print(f"\nfetch_array writes {source.nbytes / ours / 1e9:.2f} GB/s of rows; a plain memcpy of the same "
          f"{source.nbytes / 1e6:.0f} MB runs at {source.nbytes / copy / 1e9:.2f} GB/s "
          f"(ratio {copy / ours:.2f})")


if __name__ == "__main__":
    main()
