"""How long each large call keeps other Python threads waiting: a second thread sleeps 0.5 ms in a
loop (as a data loader's prefetcher or an event loop wakes) and records the longest gap between two
of its wake-ups while the call runs; best of three runs, as other processes on the machine stretch
gaps too. With --realtime the ticking thread runs at real-time priority (root or CAP_SYS_NICE), so
that no busy core delays its wake-ups and the gaps are the interpreter lock's alone.
    python bench/bench_stalls.py [--realtime]      (makes genome.fa.gz with bgzip on first use)
"""
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

from bench_compressed import compressed_genome
from common import command_line
import genome
from sekva import Faidx, Fasta

TICK = 0.0005
WINDOWS, WIDTH = 100_000, 1_000


class Ticker:
    """A thread that wakes every TICK seconds and keeps the longest gap between two wake-ups."""

    def __init__(self, realtime=False):
        self.realtime = realtime
        self.refused = None
        self.running = True
        self.worst = 0.0
        self.ticks = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        time.sleep(0.05)  # well into its loop before anything is measured
        if self.refused:
            sys.exit(f"--realtime: {self.refused} (it needs root or CAP_SYS_NICE)")

    def _run(self):
        if self.realtime:
            try:
                os.sched_setscheduler(threading.get_native_id(), os.SCHED_FIFO, os.sched_param(1))
            except OSError as e:
                self.refused = e
                return
        last = time.perf_counter()
        while self.running:
            time.sleep(TICK)
            now = time.perf_counter()
            self.worst = max(self.worst, now - last)
            self.ticks += 1
            last = now

    def measure(self, call):
        """Runs call() and returns (its time, the longest gap, the ticker's wake-ups meanwhile)."""
        time.sleep(0.01)
        self.worst, self.ticks = 0.0, 0
        t0 = time.perf_counter()
        result = call()
        took = time.perf_counter() - t0
        worst, ticks = self.worst, self.ticks
        del result  # freed after the measurement: freeing is the caller's, not the call's
        return took, worst, ticks

    def best(self, call, repeat=3):
        """The shortest time and the shortest longest gap of `repeat` runs, and the wake-ups of the
        run with that gap."""
        runs = [self.measure(call) for _ in range(repeat)]
        took = min(r[0] for r in runs)
        _, worst, ticks = min(runs, key=lambda r: r[1])
        return took, worst, ticks

    def stop(self):
        self.running = False
        self.thread.join()


def fresh_index(path, work):
    """A call that builds the index of `path` anew, through a link in `work` so that the index lands
    there and the benchmark genome's own index is left alone."""
    link = os.path.join(work, os.path.basename(path))
    if not os.path.exists(link):
        os.symlink(path, link)

    def build():
        for suffix in (".fai", ".gzi"):
            if os.path.exists(link + suffix):
                os.unlink(link + suffix)
        return Faidx(link)

    return build


def pure_python(seconds):
    """A Python loop of about `seconds`: the interpreter's own switch interval bounds its stalls."""
    def loop():
        end = time.perf_counter() + seconds
        n = 0
        while time.perf_counter() < end:
            n += 1
        return n

    return loop


def calls(path, bed):
    fa = Fasta(path)
    regions = genome.random_regions(150_000, 2_000, seed=21)
    centred = genome.read_bed(bed)[:WINDOWS]
    names = [n for n, _, _ in centred]
    starts = np.array([s + ((e - s + 1) - WIDTH) // 2 for _, s, e in centred])
    ends = starts + WIDTH - 1
    minus = np.arange(len(centred)) % 2 == 1
    windows = list(zip(names, starts.tolist(), ends.tolist()))
    bed_regions = genome.read_bed(bed)
    heads = [f">{n}:{s}-{e}" for n, s, e in bed_regions]
    bed_text = open(bed, "rb").read()
    work = tempfile.mkdtemp(prefix="sekva-bench-stalls-")
    return work, [
        ("pure Python loop, 0.3 s (for comparison)", pure_python(0.3)),
        ("fetch_many, 150,000 x 2 kb", lambda: fa.fetch_many(regions)),
        ("fetch_many, 150,000 x 2 kb, rc=True", lambda: fa.fetch_many(regions, rc=True)),
        (f"fetch_array, {WINDOWS:,} x {WIDTH}, names/starts/ends",
         lambda: fa.fetch_array(names=names, starts=starts, ends=ends, rc=minus)),
        (f"fetch_array, {WINDOWS:,} x {WIDTH}, region tuples", lambda: fa.fetch_array(windows)),
        (f"fetch_onehot float32, {WINDOWS:,} x {WIDTH}",
         lambda: fa.fetch_onehot(names=names, starts=starts, ends=ends, rc=minus, dtype="float32")),
        (f"fetch_ragged, {len(bed_regions):,} BED regions", lambda: fa.fetch_ragged(bed_regions)),
        (f"fetch_fasta, {len(bed_regions):,} BED regions", lambda: fa.fetch_fasta(bed_regions, heads)),
        (f"fetch_bed, {len(bed_regions):,} lines", lambda: fa.fetch_bed(bed_text)),
        (f"open without .fai: {os.path.getsize(path) / 1e9:.1f} GB genome", fresh_index(path, work)),
        ("open without .fai/.gzi: the same, BGZF", fresh_index(compressed_genome(path), work)),
    ]


COST = (
    "about 70 s once bench/data/genome.fa.gz exists, else bgzip writes it first (about 12 "
    "minutes, 0.4 GB of disk); temporary .fai and .gzi files (2 MB); peak memory 3.1 GB."
)


def main():
    parser = command_line(__doc__, COST)
    parser.add_argument("--realtime", action="store_true", help="run the ticking thread at real-time priority")
    args = parser.parse_args()
    path, bed = genome.ensure()
    work, todo = calls(path, bed)
    ticker = Ticker(args.realtime)
    idle = ticker.best(lambda: time.sleep(0.3))
    priority = "real-time" if args.realtime else "normal"
    print(f"\nLongest wait of a thread waking every {TICK * 1e3:.1f} ms ({priority} priority), during each call "
          f"({sys.implementation.name}, switch interval {sys.getswitchinterval() * 1e3:.0f} ms)")
    print(f"{'call':<48} {'time':>9} {'longest gap':>12} {'wake-ups':>9}")
    print(f"{'nothing (time.sleep(0.3))':<48} {idle[0]:>8.3f}s {idle[1] * 1e3:>9.1f} ms {idle[2]:>9}")
    try:
        for name, call in todo:
            call()  # warm: the pages, the pool, the first import of numpy's pieces
            took, worst, ticks = ticker.best(call)
            print(f"{name:<48} {took:>8.3f}s {worst * 1e3:>9.1f} ms {ticks:>9}")
    finally:
        ticker.stop()
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
