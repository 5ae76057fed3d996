"""Fasta and FastaRecord against pyfastx and pysam, and record walks against plain str work.
    python bench/bench_reader.py
"""

from common import best_time, command_line, optional_peer, print_table
import genome
from sekva import Fasta, Faidx

pysam = optional_peer("pysam")
pyfastx = optional_peer("pyfastx")


def slices(path):
    fa = Fasta(path)
    # Python slices [s - 1:e] of the 1-based regions.
    regions = [(n, s - 1, e) for n, s, e in genome.random_regions(50_000, 100, seed=8)]
    ours = best_time(lambda: [fa[n][s:e] for n, s, e in regions])
    rows = []
    if pyfastx:
        px = pyfastx.Fasta(path)
        n, s, e = regions[0]
        assert px[n][s:e].seq == fa[n][s:e].seq
        rows.append(("50,000 x fasta[name][s:e], 100 bases", ours, "pyfastx fa[name][s:e].seq",
                     best_time(lambda: [px[n][s:e].seq for n, s, e in regions])))
    if pysam:
        ff = pysam.FastaFile(path)
        rows.append(("50,000 x fasta[name][s:e], 100 bases", ours, "pysam FastaFile.fetch",
                     best_time(lambda: [ff.fetch(n, s, e) for n, s, e in regions])))
    return rows


def whole_and_walks(path):
    fa = Fasta(path)
    record = fa[genome.BIG]
    faidx = Faidx(path)
    rows = [("str(record), 100 Mb", best_time(lambda: str(record), repeat=3), "fetch_entire_sequence",
             best_time(lambda: faidx.fetch_entire_sequence(genome.BIG), repeat=3))]
    text = str(record)
    width = genome.WIDTH

    def plain_pieces():
        for i in range(0, len(text), width):
            text[i : i + width]

    def plain_reversed():
        for i in range(len(text) - width, -width, -width):
            text[max(i, 0) : i + width][::-1]

    rows.append(("for piece in record (100 Mb)", best_time(lambda: [None for _ in record], repeat=2),
                 "str sliced in a loop", best_time(plain_pieces, repeat=2)))
    rows.append(("reversed(record) (100 Mb)", best_time(lambda: reversed(record), repeat=2),
                 "str reversed pieces", best_time(plain_reversed, repeat=2)))
    return rows


COST = (
    "about 15 s; no disk beyond bench/data; peak memory 1.4 GB (a 100 Mb record held as str, and "
    "the mapped genome)."
)

if __name__ == "__main__":
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    print_table("Reader interface", slices(path) + whole_and_walks(path))
