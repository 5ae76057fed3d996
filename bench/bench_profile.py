"""Where the time of one region goes: the single fetch and both batch methods broken into their
steps, by timing variants that leave steps out, and (where `perf` works and the module keeps its
symbols, e.g. `pip install . -C install.strip=false`) by sampling.
    python bench/bench_profile.py [--perf]
"""
import collections
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import textwrap
import time

from common import best_time, command_line, optional_peer
import genome
from sekva import Faidx, Fasta, Sequence

CALLS = 100_000
pysam = optional_peer("pysam")


def per_call(fn, count, repeat=5):
    return best_time(fn, repeat) / count * 1e9


def single(path):
    fa = Faidx(path)
    rng = random.Random(3)
    chosen = [("chr1", s, s + 99) for s in (rng.randint(1, genome.SIZES[0] - 100) for _ in range(1000))]
    same = chosen * (CALLS // 1000)
    spread = [("chr%d" % rng.randint(1, len(genome.SIZES)), 0, 0) for _ in range(CALLS)]
    spread = [(n, s, s + 99) for n, _, _ in spread for s in [rng.randint(1, 30_000_000)]]
    text = fa.fetch_entire_sequence("chr1").seq[:200_000]
    one = [(n, s, s) for n, s, _ in same]
    names = [n for n, _, _ in same]
    held = [Sequence("chr1", "A" * 100, 1, 100) for _ in range(1000)] * (CALLS // 1000)
    rows = [
        ("loop and tuple unpacking", per_call(lambda: [None for n, s, e in same], CALLS)),
        ("+ `in` (str to UTF-8, hash lookup)", per_call(lambda: [n in fa for n in names], CALLS)),
        ("fetch of 1 base (binding, lookup, bounds, str, Sequence)", per_call(lambda: [fa.fetch(n, s, e) for n, s, e in one], CALLS)),
        ("fetch of 100 bases, same 1,000 regions", per_call(lambda: [fa.fetch(n, s, e) for n, s, e in same], CALLS)),
        ("fetch of 100 bases, random places", per_call(lambda: [fa.fetch(n, s, e) for n, s, e in spread], CALLS)),
        ("slice of a held str (100 characters)", per_call(lambda: [text[s % 100_000 : s % 100_000 + 100] for n, s, e in same], CALLS)),
        ("coordinates read back (start, end)", per_call(lambda: [(x.start, x.end) for x in held], CALLS)),
    ]
    rows.append(("freeing a fetched value", freeing(lambda: [fa.fetch(n, s, e) for n, s, e in same]) / CALLS * 1e9))
    print(f"\nSingle fetch, {CALLS:,} calls in a list comprehension (ns per call)")
    for label, ns in rows:
        print(f"  {label:<58} {ns:8.0f}")
    base, one_base, hundred = rows[0][1], rows[2][1], rows[3][1]
    print(f"  => the call itself: {one_base - base:.0f} ns; 99 more bases: {hundred - one_base:.0f} ns")
    if pysam:
        ff = pysam.FastaFile(path)
        theirs = per_call(lambda: [ff.fetch(n, s - 1, e) for n, s, e in same], CALLS, repeat=3)
        print(f"  pysam FastaFile.fetch, same loop: {theirs:.0f} ns per call; sekva takes "
              f"1/{theirs / hundred:.0f} of its time")


def freeing(make, repeat=5):
    """Best time to drop the last reference to what make() returns."""
    best = float("inf")
    for _ in range(repeat):
        values = make()
        t0 = time.perf_counter()
        del values
        best = min(best, time.perf_counter() - t0)
    return best


def convert_only(fa, regions):
    # A bad rc is reported only once every region has been read and checked.
    try:
        fa.fetch_many(regions, rc=1)
    except TypeError:
        pass


def batches(path):
    fa = Fasta(path)
    regions = genome.read_bed()
    count = len(regions)
    fa.fetch_many(regions)
    empty = [(n, e + 1, e) for n, s, e in regions]  # start > end: planned and made, nothing copied
    rows = []

    rows.append(("reading and checking the region tuples only", best_time(lambda: convert_only(fa, regions))))
    rows.append(("reading, planning, one empty str and Sequence each", best_time(lambda: fa.fetch_many(empty))))
    rows.append(("whole call: also copying bases (workers), full str, the list", best_time(lambda: fa.fetch_many(regions))))
    rows.append(("freeing the 200,000 values", freeing(lambda: fa.fetch_many(regions))))
    print(f"\nfetch_many of the {count:,} BED regions (ms)")
    for label, t in rows:
        print(f"  {label:<64} {t * 1e3:8.1f}")
    whole = best_time(lambda: fa.fetch_many(regions))  # freed inside the timing
    if pysam:
        ff = pysam.FastaFile(path)
        theirs = best_time(lambda: [ff.fetch(n, s - 1, e) for n, s, e in regions], 2)
        print(f"  whole call with freeing {whole * 1e3:.1f} ms; a pysam loop {theirs * 1e3:.0f} ms: "
              f"{theirs / whole:.1f}x")

    rng = random.Random(9)
    pairs = [(s, s + 99) for s in (rng.randint(1, genome.SIZES[0] - 100) for _ in range(200_000))]
    same = best_time(lambda: fa.fetch_many_same_chr("chr1", pairs))
    empties = [(e + 1, e) for s, e in pairs]
    planned = best_time(lambda: fa.fetch_many_same_chr("chr1", empties))
    print(f"\nfetch_many_same_chr, 200,000 x 100 bases (ms)")
    print(f"  {'whole call':<64} {same * 1e3:8.1f}")
    print(f"  {'with nothing to copy (planning and objects only)':<64} {planned * 1e3:8.1f}")
    print(f"  {'regions per second':<64} {len(pairs) / same / 1e6:7.2f}M")
    single_fetch = Faidx(path).fetch
    loop = best_time(lambda: [single_fetch("chr1", s, e) for s, e in pairs], 2)
    print(f"  a loop of single fetches {loop * 1e3:.1f} ms: the batch is {loop / same:.1f}x faster")


PERF_LOOP = textwrap.dedent(
    """
    import random, sys
    sys.path.insert(0, {bench!r})
    import genome
    from sekva import Faidx
    fa = Faidx({path!r})
    rng = random.Random(3)
    same = [("chr1", s, s + 99) for s in (rng.randint(1, genome.SIZES[0] - 100) for _ in range(1000))] * 100
    regions = genome.read_bed()
    for _ in range({rounds}):
        x = {work}
        del x
    """
)

# What each sampled symbol does, by the first pattern that matches it.
STEPS = [
    ("argument binding and conversion", r"bind_|to_u64|to_text|PyLong_As|utf8_view|PyUnicode_AsUTF8|check_tuple|RegionReader|PySequence_Tuple|Entry<"),
    ("name lookup", r"NameTable"),
    ("bounds and planning", r"fetch_sequence|fetch_inside|plan_|padded_capacity|extraction_capacity|result_coords|fetch_into"),
    ("extraction (copying bases)", r"copy_bases|extract_|guarded|run_guarded|sigsetjmp|BatchFetch::extract|fetch_single_optimized"),
    ("the str", r"PyUnicode_New|unicode_dealloc|PyUnicode_Resize"),
    ("the Sequence", r"new_sequence|allocate|dealloc_entry|release_sequence|PyObject_Init"),
    ("memory allocator", r"PyObject_Malloc|PyObject_Free|_PyObject_Malloc|_PyObject_Free|malloc|free|pymalloc"),
    ("list building", r"PyList|list_dealloc|list_"),
    ("worker pool", r"ParallelJob|WorkerPool|futex|pthread_cond"),
    ("interpreter (loop, calls)", r"_PyEval|ceval|_Py_|PyObject_Vectorcall|method_vectorcall"),
]


def perf_table(path, label, work, rounds):
    code = PERF_LOOP.format(bench=os.path.dirname(os.path.abspath(__file__)), path=path, rounds=rounds, work=work)
    data = "/tmp/sekva-perf.data"
    run = subprocess.run(["perf", "record", "-q", "-F", "2000", "-o", data, sys.executable, "-c", code],
                         capture_output=True, text=True)
    if run.returncode != 0:
        print(f"\n(perf record failed: {run.stderr.strip()[:200]})")
        return
    report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "symbol"],
                            capture_output=True, text=True).stdout
    steps = collections.Counter()
    for line in report.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+\[.\]\s+(.*)", line)
        if not m:
            continue
        share, symbol = float(m.group(1)), m.group(2)
        step = next((name for name, pattern in STEPS if re.search(pattern, symbol)), "other (startup, kernel)")
        steps[step] += share
    print(f"\nSampled with perf: {label} (share of all samples)")
    for step, share in steps.most_common():
        print(f"  {step:<40} {share:6.1f}%")


COST = (
    "about 30 s (more with --perf, which writes /tmp/sekva-perf.data); no disk beyond bench/data; "
    "peak memory 1.8 GB."
)

if __name__ == "__main__":
    parser = command_line(__doc__, COST)
    parser.add_argument("--perf", action="store_true", help="also sample both loops with perf record, where it works")
    args = parser.parse_args()
    path, _ = genome.ensure()
    print(f"{platform.python_implementation()} {platform.python_version()}")
    single(path)
    batches(path)
    if args.perf and shutil.which("perf"):
        perf_table(path, "100,000 single fetches of 100 bases, repeated", "[fa.fetch(n, s, e) for n, s, e in same]", 20)
        perf_table(path, "fetch_many of the BED regions", "fa.fetch_many(regions)", 10)
