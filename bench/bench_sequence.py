"""Sequence values against plain Python str work on 1,000,000 short values, in one run.
    python bench/bench_sequence.py
"""
import random

from common import best_time, command_line, print_table
from sekva import Sequence

COUNT = 1_000_000
RC = str.maketrans("ACGTacgtN", "TGCAtgcaN")
COST = "about 20 s; no disk; peak memory 0.3 GB. It needs no genome."


def run():
    random.seed(7)
    texts = ["".join(random.choice("ACGTacgtN") for _ in range(40)) for _ in range(1000)]
    values = [Sequence("chr1", texts[i % 1000], i + 1, i + 40) for i in range(COUNT)]
    plain = [texts[i % 1000] for i in range(COUNT)]

    def construct():
        for i in range(COUNT):
            Sequence("chr1", texts[i % 1000], i + 1, i + 40)

    def construct_plain():
        for i in range(COUNT):
            ("chr1", texts[i % 1000], i + 1, i + 40)

    rows = [
        ("construct", best_time(construct), "tuple of fields", best_time(construct_plain)),
        ("slice [5:25]", best_time(lambda: [v[5:25] for v in values]), "str slice",
         best_time(lambda: [t[5:25] for t in plain])),
        ("reverse complement (-s)", best_time(lambda: [-v for v in values]), "str [::-1].translate",
         best_time(lambda: [t[::-1].translate(RC) for t in plain])),
        ("gc", best_time(lambda: [v.gc for v in values]), "str.count",
         best_time(lambda: [(t.count("G") + t.count("C") + t.count("g") + t.count("c")) / len(t) for t in plain])),
    ]
    print_table(f"Sequence operations on {COUNT:,} values of 40 bases", rows)


if __name__ == "__main__":
    command_line(__doc__, COST, genome=None).parse_args()
    run()
