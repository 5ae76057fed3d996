"""sekva against an earlier sekva: the same rows timed with two builds in one run, so that a change
to the engine's structure is shown to cost no speed. Each build is installed from a git revision
into a folder of its own; the rows then run in fresh processes, alternating between the builds.

    python bench/bench_before_after.py REV_BEFORE [REV_AFTER]   (REV_AFTER: the working tree)

The genome is 4 records of 50 Mb (made once under SEKVA_BENCH_DATA or bench/data), plain, BGZF
and opened read-write (read through the descriptor rather than the map).
"""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.environ.get("SEKVA_BENCH_DATA", os.path.join(HERE, "data"))
GENOME = os.path.join(DATA, "before_after.fa")
RECORDS, LENGTH, WIDTH = 4, 50_000_000, 60
ROUNDS = int(os.environ.get("SEKVA_BENCH_ROUNDS", "5"))  # runs per row and build, alternating; the best counts

SETUP = f"""
import random, time, sys
from sekva import Faidx, Fasta
path = {GENOME!r}
rng = random.Random(7)
names = ["chr%d" % i for i in range({RECORDS})]
def regions(count, width):
    out = []
    for _ in range(count):
        s = rng.randrange(1, {LENGTH} - width)
        out.append((rng.choice(names), s, s + width - 1))
    return out
"""

# (task, code run once before timing, code timed)
ROWS = [
    ("index build, 200 Mb plain", "import os", "os.path.exists(path + '.fai') and os.remove(path + '.fai'); Faidx(path)"),
    ("index build, 200 Mb BGZF (.gzi kept)", "import os",
     "os.path.exists(path + '.gz.fai') and os.remove(path + '.gz.fai'); Faidx(path + '.gz')"),
    ("100,000 single fetches of 100 bp, mapped",
     "fa = Faidx(path); rs = regions(100_000, 100)", "for r in rs: fa.fetch(*r)"),
    ("100,000 single fetches of 100 bp, descriptor",
     "fa = Faidx(path, mutable=True); rs = regions(100_000, 100)", "for r in rs: fa.fetch(*r)"),
    ("20,000 single fetches of 100 bp, BGZF",
     "fa = Faidx(path + '.gz'); rs = regions(20_000, 100)", "for r in rs: fa.fetch(*r)"),
    ("fetch_many, 200,000 x 200 bp, mapped", "fa = Faidx(path); rs = regions(200_000, 200)", "fa.fetch_many(rs)"),
    ("fetch_many, 200,000 x 200 bp, descriptor",
     "fa = Faidx(path, mutable=True); rs = regions(200_000, 200)", "fa.fetch_many(rs)"),
    ("fetch_many, 100,000 x 200 bp, BGZF", "fa = Faidx(path + '.gz'); rs = regions(100_000, 200)", "fa.fetch_many(rs)"),
    ("one record of 50 Mb, mapped", "fa = Faidx(path)", "fa.fetch_entire_sequence('chr1')"),
    ("one record of 50 Mb, descriptor", "fa = Faidx(path, mutable=True)", "fa.fetch_entire_sequence('chr1')"),
    ("one record of 50 Mb, BGZF", "fa = Faidx(path + '.gz')", "fa.fetch_entire_sequence('chr1')"),
    ("fetch_fasta, 100,000 x 500 bp, width 60",
     "fa = Faidx(path); rs = regions(100_000, 500); hs = ['>r%d' % i for i in range(len(rs))]",
     "fa.fetch_fasta(rs, hs, width=60)"),
    ("fetch_onehot, 50,000 x 1,000 bp", "import numpy; fa = Faidx(path); rs = regions(50_000, 1000)",
     "fa.fetch_onehot(rs)"),
    ("reverse complement of 50 Mb", "s = Fasta(path)['chr2'][:]", "-s"),
]


def make_genome():
    os.makedirs(DATA, exist_ok=True)
    if not os.path.exists(GENOME):
        import random

        rng = random.Random(1)
        with open(GENOME + ".tmp", "w") as out:
            for i in range(RECORDS):
                out.write(f">chr{i}\n")
                seq = "".join(rng.choices("ACGTacgtN", weights=[24, 24, 24, 24, 1, 1, 1, 1, 1], k=LENGTH))
                out.writelines(seq[j : j + WIDTH] + "\n" for j in range(0, LENGTH, WIDTH))
        os.replace(GENOME + ".tmp", GENOME)
    if not os.path.exists(GENOME + ".gz"):
        subprocess.run(["bgzip", "-@2", "-k", "-f", GENOME], check=True)


def install(rev, into):
    """sekva from `rev` (None: the working tree) installed into the folder `into`."""
    src = os.path.join(into, "src")
    if rev is None:
        shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns(".git", "data", "build", "*.so"))
    else:
        os.makedirs(src)
        archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", os.path.join(into, "site"),
                    src], check=True)
    return os.path.join(into, "site")


def time_row(site, setup, code):
    program = SETUP + setup + "\nt0 = time.perf_counter()\n" + code + "\nprint(time.perf_counter() - t0)\n"
    env = dict(os.environ, PYTHONPATH=site)
    out = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True, cwd=DATA)
    if out.returncode != 0:
        raise SystemExit(out.stderr)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    sys.path.insert(0, HERE)
    from common import command_line

    parser = command_line(__doc__, "about 12 minutes on two idle cores (two builds of about 1.5 minutes "
                          "each, then 14 rows x 5 rounds x 2 builds), 0.5 GB of disk (its own 200 Mb genome, "
                          "plain and BGZF, written in about 2 minutes on first use) and 1 GB of memory",
                          genome=None)
    parser.add_argument("before", nargs="?", default="HEAD", help="git revision to compare against (default HEAD)")
    parser.add_argument("after", nargs="?", default=None, help="git revision to measure (default: the working tree)")
    args = parser.parse_args()
    before_rev, after_rev = args.before, args.after
    make_genome()
    with tempfile.TemporaryDirectory() as tmp:
        before = install(before_rev, os.path.join(tmp, "before"))
        after = install(after_rev, os.path.join(tmp, "after"))
        print(f"before: {before_rev}   after: {after_rev or 'working tree'}   best of {ROUNDS}, alternating")
        print(f"{'task':<46} {'before':>9} {'after':>9} {'after/before':>13}")
        slower = []
        only = os.environ.get("SEKVA_BENCH_ROWS")  # a substring: only the rows whose task holds it
        for task, setup, code in [r for r in ROWS if not only or only in r[0]]:
            b = a = float("inf")
            for _ in range(ROUNDS):
                b = min(b, time_row(before, setup, code))
                a = min(a, time_row(after, setup, code))
            ratio = a / b
            mark = "  slower by more than 3 %" if ratio > 1.03 else ""
            slower += [task] if mark else []
            print(f"{task:<46} {b:>8.4f}s {a:>8.4f}s {ratio:>12.3f}{mark}")
        print(f"rows slower by more than 3 %: {len(slower)}")


if __name__ == "__main__":
    main()
