"""`sekva fqidx` beside `samtools fqidx` on a generated FASTQ file: whole processes, the same index and
output bytes checked, wall time and peak memory as ratios from one run: building the index, and
writing 100,000 reads asked by name (-r). Then the same reads as FASTA (names and bases), indexed by
`sekva faidx` beside `samtools faidx`, and how fast each format indexes per byte."""
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_cli import measure, sekva_command  # noqa: E402
from common import command_line  # noqa: E402

READ_LENGTH = 150
COST = (
    "about 4 minutes at the default 2 GB (see --gigabytes; each command 3 times, see --repeat); 4 GB "
    "of disk: the FASTQ file and the same reads as FASTA (written once in about a minute, and kept) in "
    "$SEKVA_BENCH_DATA, or else in a temporary folder removed at the end, beside their indexes (0.6 GB) "
    "and the outputs; peak memory about 0.7 GB, that of samtools fqidx (sekva's is below half of it)."
)


def write_fastq(path, size):
    """Deterministic reads of READ_LENGTH bases (Illumina-like names and qualities) until `size` bytes."""
    rng = random.Random(22)
    # Bases and qualities cut from one long random text: fast to write, no two reads alike.
    pool = "".join(rng.choice("ACGT") for _ in range(1 << 16))
    quals = "".join(chr(33 + min(41, max(2, int(rng.gauss(34, 6))))) for _ in range(1 << 16))
    written, i = 0, 0
    scratch = path + ".part"
    with open(scratch, "w") as f:
        while written < size:
            chunk = []
            for _ in range(10_000):
                a, b = rng.randrange(len(pool) - READ_LENGTH), rng.randrange(len(quals) - READ_LENGTH)
                chunk.append(f"@SEKVA:1:FC:{i // 1_000_000}:{i % 1_000_000} 1:N:0:ACGT\n{pool[a:a + READ_LENGTH]}\n"
                             f"+\n{quals[b:b + READ_LENGTH]}\n")
                i += 1
            text = "".join(chunk)
            f.write(text)
            written += len(text)
    os.replace(scratch, path)
    return i


def write_fasta_of(fastq, path):
    """The reads of `fastq` (four lines each) as FASTA: each name line and its bases."""
    scratch = path + ".part"
    with open(fastq, "rb") as f, open(scratch, "wb") as out:
        carry = b""
        while chunk := f.read(1 << 24):
            lines = (carry + chunk).split(b"\n")
            keep = len(lines) - 1 - (len(lines) - 1) % 4  # whole reads only
            carry = b"\n".join(lines[keep:])
            out.write(b"".join(b">" + lines[i][1:] + b"\n" + lines[i + 1] + b"\n" for i in range(0, keep, 4)))
        if carry.strip():
            raise SystemExit(f"{fastq}: the last read is cut short")
    os.replace(scratch, path)


def write_names(path, count, out, seed=7):
    """Writes `count` names of reads of the file, chosen at random (seeded), from its index, one a line.
    In a process of its own: the names of millions of reads would otherwise stay in this process's
    memory, which every child it starts counts in its own peak (ru_maxrss) until it execs."""
    script = (
        "import random, sys\n"
        "with open(sys.argv[1]) as f:\n"
        "    names = [line.split('\\t', 1)[0] for line in f]\n"
        "chosen = random.Random(int(sys.argv[3])).sample(names, min(int(sys.argv[2]), len(names)))\n"
        "with open(sys.argv[4], 'w') as f:\n"
        "    f.write(''.join(name + '\\n' for name in chosen))\n"
    )
    subprocess.run([sys.executable, "-c", script, path + ".fai", str(count), str(seed), out], check=True)


def compare(task, ours, theirs, mine, peer, repeat):
    """Runs both commands alternately; their output files (mine, peer) must hold the same bytes."""
    times, peaks = {"ours": [], "theirs": []}, {"ours": 0.0, "theirs": 0.0}
    for _ in range(repeat):
        for side, args, path in (("ours", ours, mine), ("theirs", theirs, peer)):
            t, m = measure(args, path + ".stdout")
            times[side].append(t)
            peaks[side] = max(peaks[side], m)
    if not filecmp.cmp(mine, peer, shallow=False):
        raise SystemExit(f"{task}: the outputs differ")
    t_ours, t_theirs = min(times["ours"]), min(times["theirs"])
    print(f"{task:<40} {t_ours:>8.3f}s {t_theirs:>8.3f}s {t_theirs / t_ours:>6.1f}x "
          f"{peaks['ours']:>8.0f} {peaks['theirs']:>8.0f} {peaks['theirs'] / peaks['ours']:>6.1f}x")
    return t_ours, t_theirs


def main():
    parser = command_line(__doc__, COST, genome=None)
    parser.add_argument("--gigabytes", type=float, default=2.0, help="size of the FASTQ file (default 2)")
    parser.add_argument("--reads", type=int, default=100_000, help="reads asked by name (default 100,000)")
    parser.add_argument("--repeat", type=int, default=int(os.environ.get("SEKVA_BENCH_REPEAT", "3")),
                        help="runs of each command, the best one reported (default: $SEKVA_BENCH_REPEAT or 3)")
    args = parser.parse_args()
    samtools = shutil.which("samtools")
    if not samtools:
        raise SystemExit("samtools is not installed: nothing to compare with")
    sekva = sekva_command()
    data = os.environ.get("SEKVA_BENCH_DATA")
    with tempfile.TemporaryDirectory(prefix="sekva-bench-fastq-") as work:
        home = data or work
        os.makedirs(home, exist_ok=True)
        fastq = os.path.join(home, f"reads-{args.gigabytes:g}G.fq")
        if not os.path.exists(fastq):
            print(f"writing {fastq} ...", flush=True)
            write_fastq(fastq, int(args.gigabytes * 1e9))
        subprocess.run([*sekva, "fqidx", fastq], check=True)  # the index -r reads, and the page cache
        names = os.path.join(work, "names.txt")
        write_names(fastq, args.reads, names)
        size = os.path.getsize(fastq) / 1e9
        print(f"{fastq}: {size:.2f} GB; best of {args.repeat} runs, peak RSS in MiB")
        print(f"{'task':<40} {'sekva':>9} {'peer':>9} {'ratio':>7} {'RSS':>8} {'peer RSS':>8} {'ratio':>7}")
        ours_fai, theirs_fai = os.path.join(work, "ours.fai"), os.path.join(work, "theirs.fai")
        t_fastq, _ = compare("fqidx (index) vs samtools fqidx", [*sekva, "fqidx", fastq, "-o", ours_fai],
                             [samtools, "fqidx", fastq, "-o", theirs_fai], ours_fai, theirs_fai, args.repeat)
        ours_out, theirs_out = os.path.join(work, "ours.fq"), os.path.join(work, "theirs.fq")
        compare(f"fqidx -r ({args.reads:,} reads) vs samtools", [*sekva, "fqidx", fastq, "-r", names, "-o", ours_out],
                [samtools, "fqidx", fastq, "-r", names, "-o", theirs_out], ours_out, theirs_out, args.repeat)
        fasta = fastq[:-3] + ".fa"
        if not os.path.exists(fasta):
            print(f"writing {fasta} ...", flush=True)
            write_fasta_of(fastq, fasta)
        ours_fa_fai, theirs_fa_fai = os.path.join(work, "ours.fa.fai"), os.path.join(work, "theirs.fa.fai")
        t_fasta, _ = compare("faidx (index), the reads as FASTA", [*sekva, "faidx", fasta, "-o", ours_fa_fai],
                             [samtools, "faidx", fasta, "-o", theirs_fa_fai], ours_fa_fai, theirs_fa_fai, args.repeat)
        print("ratio = peer time / sekva time (above 1: sekva is faster); targets: 5x for fqidx")
        fasta_size = os.path.getsize(fasta) / 1e9
        print(f"index per byte, whole sekva processes: FASTQ {size / t_fastq:.2f} GB/s, the same reads as FASTA "
              f"({fasta_size:.2f} GB) {fasta_size / t_fasta:.2f} GB/s: FASTQ at "
              f"{(size / t_fastq) / (fasta_size / t_fasta):.2f}x FASTA's speed per byte")


if __name__ == "__main__":
    main()
