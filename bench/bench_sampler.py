"""The training sampler: GenomeWindows' random 1,000-base one-hot windows (hold-outs, an exclusion
BED, N rejection, reverse complements) against fetch_onehot of the same windows, and against the
loop a model repository writes by hand, in one process and through a DataLoader with 2 spawn
workers when torch is installed, in one run.
    python bench/bench_sampler.py
"""
import bisect
import time

import numpy as np

from common import best_time, command_line, optional_peer
import genome
from sekva import Fasta
from sekva_ml import GenomeWindows

torch = optional_peer("torch")
WIDTH, BATCH, BATCHES = 1_000, 256, 60
HOLDOUT = {"valid": ["chr2"], "test": ["chr3"]}
MAX_N, RC, SEED = 0.01, 0.5, 1
COMPLEMENT = bytes.maketrans(b"ACGTacgtNn", b"TGCAtgcaNn")

COST = ("about 1 minute on an idle machine, up to 3 under load (15-30 s of it making the N index of 1.3 "
        "billion bases; the DataLoader rows, when torch is installed, start 2 spawn workers twice); no disk "
        "beyond bench/data; peak memory 2.4 GB, the genome's pages mapped while the N index is made included.")


def exclusions(count=2_000):
    """A blacklist: the first BED regions, widened, as (name, start, end) columns."""
    rows = genome.read_bed()[:count]
    return [n for n, _, _ in rows], [max(0, s - 1 - 500) for _, s, _ in rows], [e + 500 for _, _, e in rows]


class HandWrittenWindows(torch.utils.data.IterableDataset if torch else object):
    """The loop written by hand: weighted record choice, start drawn, exclusions and N checked in
    Python, the bases fetched as text, reverse-complemented and one-hot encoded with a lookup table."""

    def __init__(self, path, exclude, seed, batches):
        self.path, self.seed, self.batches = path, seed, batches
        fa = Fasta(path)
        held = {n for names in HOLDOUT.values() for n in names}
        self.names = [n for n in fa.references if n not in held]
        lengths = dict(zip(fa.references, fa.lengths))
        self.lengths = [lengths[n] for n in self.names]
        usable = np.array(self.lengths, dtype=np.float64) - WIDTH + 1
        self.weights = usable / usable.sum()
        self.excluded = {}
        for n, s, e in sorted(zip(*exclude)):
            self.excluded.setdefault(n, []).append((s, e))
        self.table = np.zeros((256, 4), dtype=np.float32)
        for i, c in enumerate(b"ACGT"):
            self.table[c, i] = self.table[c + 32, i] = 1

    def overlaps(self, name, start):
        rows = self.excluded.get(name, [])
        i = bisect.bisect_left(rows, (start + WIDTH,))
        return any(s < start + WIDTH and start < e for s, e in rows[max(0, i - 50) : i])

    def batch(self, fa, rng):
        out = np.empty((BATCH, WIDTH, 4), dtype=np.float32)
        names, starts, strands = [], [], []
        for i in range(BATCH):
            while True:
                r = rng.choice(len(self.names), p=self.weights)
                start = int(rng.integers(0, self.lengths[r] - WIDTH + 1))
                if self.overlaps(self.names[r], start):
                    continue
                text = fa.get_seq(self.names[r], start + 1, start + WIDTH).seq.encode()
                if WIDTH - sum(text.count(c) for c in b"ACGTacgt") > MAX_N * WIDTH:
                    continue
                break
            minus = rng.random() < RC
            if minus:
                text = text.translate(COMPLEMENT)[::-1]
            out[i] = self.table[np.frombuffer(text, dtype=np.uint8)]
            names.append(self.names[r])
            starts.append(start)
            strands.append("-" if minus else "+")
        return out, np.array(names), np.array(starts), np.array(strands)

    def __iter__(self):
        info = torch.utils.data.get_worker_info() if torch else None
        worker, workers = (info.id, info.num_workers) if info else (0, 1)
        fa = Fasta(self.path)
        for k in range(worker, self.batches, workers):
            yield self.batch(fa, np.random.default_rng([self.seed, k]))


def rate(windows, seconds):
    return windows / seconds


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def check(fa, batch):
    """Each row against fetch_onehot of its own coordinates and strand."""
    x, names, starts, strands = batch
    want = fa.fetch_onehot(names=names, starts=starts + 1, ends=starts + WIDTH, rc=strands == "-", dtype="float32")
    assert np.array_equal(x, want)
    assert all(not (n in HOLDOUT["valid"] or n in HOLDOUT["test"]) for n in names.tolist())


def loader_rate(dataset):
    """Windows per second through a DataLoader with 2 spawn workers, on its second pass: the first
    one starts the workers and brings the windows' pages into memory, as the one-process rows do."""
    loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2, multiprocessing_context="spawn",
                                         persistent_workers=True)
    for _ in loader:
        pass
    t0 = time.perf_counter()
    count = sum(len(x) for x, *_ in loader)
    return count / (time.perf_counter() - t0)


def main():
    command_line(__doc__, COST).parse_args()
    path, _ = genome.ensure()
    fa = Fasta(path)
    exclude = exclusions()
    windows, built = timed(lambda: GenomeWindows(fa, WIDTH, holdout=HOLDOUT, exclude=exclude, max_n=MAX_N,
                                                 rc=RC, seed=SEED, batch_size=BATCH, batches=BATCHES))
    print(f"GenomeWindows made in {built:.2f} s (N index of {len(windows.records)} records, "
          f"{windows.usable:,} usable starts)")
    # Each timed task runs once before it is timed, so every row reads bases already in memory.
    batches = [windows.batch(k) for k in range(BATCHES)]
    for batch in batches[:3]:
        check(fa, batch)

    def sampled():
        # each batch dropped before the next, as a training loop does and as plain() below does
        for k in range(BATCHES):
            windows.batch(k)

    ours = best_time(sampled)
    names = np.concatenate([b[1] for b in batches])
    starts = np.concatenate([b[2] for b in batches])
    minus = np.concatenate([b[3] for b in batches]) == "-"

    def plain():
        for k in range(BATCHES):
            part = slice(k * BATCH, (k + 1) * BATCH)
            fa.fetch_onehot(names=names[part], starts=starts[part] + 1, ends=starts[part] + WIDTH, rc=minus[part],
                            dtype="float32")

    theirs = best_time(plain)
    hand = HandWrittenWindows(path, exclude, SEED, BATCHES // 6)
    hand_batches = list(hand)
    check(fa, hand_batches[0])
    hand_time = best_time(lambda: list(hand), repeat=2)
    total = BATCHES * BATCH
    rows = [
        ("GenomeWindows.batch, one process", rate(total, ours)),
        ("fetch_onehot of the same windows", rate(total, theirs)),
        ("hand-written loop, one process", rate(len(hand_batches) * BATCH, hand_time)),
    ]
    print(f"\n{BATCHES} batches of {BATCH} windows of {WIDTH} bases, float32 one-hot, max_n={MAX_N}, rc={RC}, "
          f"{len(exclude[0]):,} excluded regions, 2 of {len(fa.references)} records held out")
    if torch:
        rows += [("GenomeWindows, DataLoader 2 spawn workers", loader_rate(windows)),
                 ("hand-written loop, DataLoader 2 spawn workers",
                  loader_rate(HandWrittenWindows(path, exclude, SEED, BATCHES // 6)))]
    else:
        print("(torch is not installed: the DataLoader rows are left out)")
    print(f"{'task':<48} {'windows/s':>12}")
    for task, value in rows:
        print(f"{task:<48} {value:>12,.0f}")
    print(f"\nsampler / fetch_onehot: {rows[0][1] / rows[1][1]:.2f} (sampling, N rejection, hold-outs and "
          f"reverse complements included)")
    print(f"sampler / hand-written loop, one process: {rows[0][1] / rows[2][1]:.1f}x")
    if torch:
        print(f"DataLoader, 2 spawn workers: sampler / hand-written loop: {rows[3][1] / rows[4][1]:.1f}x")


if __name__ == "__main__":
    main()
