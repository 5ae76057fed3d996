"""`sekva transcripts -w -x -y` beside `gffread -w -x -y` on a GENCODE-sized synthetic annotation of
the benchmark genome: whole processes, the same three output files checked byte for byte, wall time
and peak memory as ratios from one run."""
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import genome  # noqa: E402
from common import command_line  # noqa: E402

TRANSCRIPTS = 250_000


def sekva_command():
    script = shutil.which("sekva", path=os.path.dirname(sys.executable))
    return [script] if script else [sys.executable, "-m", "sekva_cli"]


def write_annotation(path, count, seed=11):
    """A GTF file shaped like GENCODE's: genes of a few transcripts on either strand, 1 to 30
    exons each (median about 5), two in three coding with start and stop codons, UTRs and phases."""
    rng = random.Random(seed)
    sizes = dict(zip(genome.names(), genome.SIZES))
    names = list(sizes)
    per_record = [count * sizes[n] // sum(genome.SIZES) for n in names]
    per_record[0] += count - sum(per_record)
    k = 0
    with open(path, "w") as out:
        for name, n in zip(names, per_record):
            # Gene starts spread over the record, in order as in an annotation sorted by position.
            starts = sorted(rng.randrange(1, sizes[name] - 300_000) for _ in range((n + 2) // 3))
            made = 0
            for g, gene_start in enumerate(starts):
                strand = rng.choice("+-")
                gene = f"G{name}.{g}"
                for _ in range(min(rng.randint(1, 5), n - made)):
                    exons, pos = [], gene_start + rng.randint(0, 2000)
                    for _ in range(min(30, max(1, int(rng.lognormvariate(1.6, 0.8))))):
                        length = rng.randint(60, 400)
                        exons.append((pos, pos + length - 1))
                        pos += length + rng.randint(80, 8000)
                    k += 1
                    made += 1
                    _write_transcript(out, rng, name, strand, gene, f"T{k:07d}", exons)
                if made >= n:
                    break


def _write_transcript(out, rng, chrom, strand, gene, tid, exons):
    attrs = f'gene_id "{gene}"; transcript_id "{tid}";'
    out.write(f"{chrom}\tbench\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}\n")
    for s, e in exons:
        out.write(f"{chrom}\tbench\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n")
    total = sum(e - s + 1 for s, e in exons)
    if rng.random() < 2 / 3 and total > 120:
        a = rng.randint(0, total // 4)
        b = total - 1 - rng.randint(0, total // 4)
        ordered = exons if strand == "+" else exons[::-1]
        offset, parts = 0, []
        for s, e in ordered:
            lo, hi = max(a, offset), min(b, offset + e - s)
            if lo <= hi:
                forward = strand == "+"
                parts.append((s + lo - offset, s + hi - offset) if forward else (e - (hi - offset), e - (lo - offset)))
            offset += e - s + 1
        phase, done = rng.choice([0, 0, 0, 1, 2]), 0
        for s, e in parts:  # 5' to 3'
            part_phase = (3 - (done - phase) % 3) % 3 if done else phase
            out.write(f"{chrom}\tbench\tCDS\t{s}\t{e}\t.\t{strand}\t{part_phase}\t{attrs}\n")
            done += e - s + 1


def measure(args, cwd):
    t0 = time.perf_counter()
    proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(args)} failed with status {os.waitstatus_to_exitcode(status)}")
    return elapsed, usage.ru_maxrss / 1024


COST = (
    "about 3 minutes (each command once, see --repeat); 0.6 GB of temporary files in the system's "
    "temporary folder (the annotation and both sides' outputs), removed at the end; peak memory about "
    "1 GB (sekva's command; gffread's is printed beside it). --transcripts 25000 takes a tenth."
)


def main():
    parser = command_line(__doc__, COST)
    parser.add_argument("--transcripts", type=int, default=TRANSCRIPTS,
                        help=f"transcripts in the annotation (default: {TRANSCRIPTS:,}, about GENCODE's count)")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each command, the best one reported")
    opts = parser.parse_args()
    gffread = shutil.which("gffread")
    if gffread is None:
        raise SystemExit("gffread is not installed")
    fasta, _ = genome.ensure()
    sekva = sekva_command()
    with tempfile.TemporaryDirectory(prefix="sekva-bench-tx-") as work:
        annotation = os.path.join(work, "a.gtf")
        write_annotation(annotation, opts.transcripts)
        sides = {"ours": [*sekva, "transcripts"], "theirs": [gffread]}
        times, peaks = {}, {}
        for side, command in sides.items():
            os.mkdir(os.path.join(work, side))
            runs = [measure([*command, "-g", fasta, "-w", "w.fa", "-x", "x.fa", "-y", "y.fa", annotation],
                            os.path.join(work, side)) for _ in range(opts.repeat)]
            times[side], peaks[side] = min(t for t, _ in runs), max(m for _, m in runs)
        for name in ("w.fa", "x.fa", "y.fa"):
            if not filecmp.cmp(os.path.join(work, "ours", name), os.path.join(work, "theirs", name), shallow=False):
                raise SystemExit(f"{name}: the outputs differ")
        print(f"genome {fasta}, {opts.transcripts:,} transcripts; best of {opts.repeat} runs, peak RSS in MiB")
        print(f"{'task':<40} {'sekva':>9} {'gffread':>9} {'ratio':>7} {'RSS':>8} {'peer RSS':>8} {'ratio':>7}")
        print(f"{'transcripts -w -x -y vs gffread':<40} {times['ours']:>8.2f}s {times['theirs']:>8.2f}s "
              f"{times['theirs'] / times['ours']:>6.1f}x {peaks['ours']:>8.0f} {peaks['theirs']:>8.0f} "
              f"{peaks['theirs'] / peaks['ours']:>6.1f}x")
        print("ratio = gffread / sekva (above 1: sekva is faster or smaller)")


if __name__ == "__main__":
    main()
