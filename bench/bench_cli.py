"""The sekva command beside samtools faidx and bedtools getfasta: whole processes on the benchmark
genome, the same output bytes checked, wall time and peak memory as ratios from one run."""
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

REPEAT = int(os.environ.get("SEKVA_BENCH_REPEAT", "3"))


def sekva_command():
    script = shutil.which("sekva", path=os.path.dirname(sys.executable))
    return [script] if script else [sys.executable, "-m", "sekva_cli"]


def measure(args, out_path):
    """(wall seconds, peak RSS in MiB) of one process writing its standard output to out_path."""
    with open(out_path, "wb") as out:
        t0 = time.perf_counter()
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed with status {proc.returncode}")
    return elapsed, usage.ru_maxrss / 1024


def best(args, out_path, repeat=REPEAT):
    runs = [measure(args, out_path) for _ in range(repeat)]
    return min(t for t, _ in runs), max(m for _, m in runs)


def compare(task, ours, theirs, work):
    """Runs both commands alternately, checks that their outputs are the same bytes, prints a row."""
    mine, peer = os.path.join(work, "ours.out"), os.path.join(work, "theirs.out")
    times, peaks = {"ours": [], "theirs": []}, {"ours": 0.0, "theirs": 0.0}
    for _ in range(REPEAT):
        for side, args, path in (("ours", ours, mine), ("theirs", theirs, peer)):
            t, m = measure(args, path)
            times[side].append(t)
            peaks[side] = max(peaks[side], m)
    if not filecmp.cmp(mine, peer, shallow=False):
        raise SystemExit(f"{task}: the outputs differ")
    t_ours, t_theirs = min(times["ours"]), min(times["theirs"])
    print(f"{task:<46} {t_ours:>8.3f}s {t_theirs:>8.3f}s {t_theirs / t_ours:>6.1f}x "
          f"{peaks['ours']:>8.0f} {peaks['theirs']:>8.0f} {peaks['theirs'] / peaks['ours']:>6.1f}x")


COST = (
    "about 2 minutes (each command 3 times, see --repeat); 0.25 GB of temporary files in the "
    "system's temporary folder (both sides' outputs and the region lists), removed at the end; "
    "peak memory 1.4 GB, that of bedtools getfasta (sekva's commands stay under 130 MB)."
)


def main():
    global REPEAT
    parser = command_line(__doc__, COST)
    parser.add_argument("--repeat", type=int, default=REPEAT,
                        help="runs of each command, the best one reported (default: $SEKVA_BENCH_REPEAT or 3)")
    REPEAT = parser.parse_args().repeat
    fasta, bed = genome.ensure()
    samtools, bedtools = shutil.which("samtools"), shutil.which("bedtools")
    sekva = sekva_command()
    with tempfile.TemporaryDirectory(prefix="sekva-bench-cli-") as work:
        regions = os.path.join(work, "regions.txt")
        stranded = os.path.join(work, "stranded.bed")
        spliced = os.path.join(work, "spliced.bed")
        rng = random.Random(7)
        with open(bed) as src, open(regions, "w") as txt, open(stranded, "w") as six, open(spliced, "w") as twelve:
            for i, line in enumerate(src):
                chrom, start, end = line.split()[:3]
                txt.write(f"{chrom}:{int(start) + 1}-{end}\n")
                strand = rng.choice('+-')
                six.write(f"{chrom}\t{start}\t{end}\tr{i}\t0\t{strand}\n")
                # BED12: 1 to 8 blocks ("exons") spread over the interval, the last ending at its end.
                length, count = int(end) - int(start), rng.randint(1, 8)
                cuts = sorted(rng.sample(range(1, length), min(count - 1, length - 1)))
                starts = [0] + cuts
                sizes = [max(1, (b - a) // 2) for a, b in zip(starts, cuts + [length])]
                starts[-1] = length - sizes[-1]
                twelve.write(f"{chrom}\t{start}\t{end}\tt{i}\t0\t{strand}\t{start}\t{end}\t0\t{len(sizes)}\t"
                             f"{','.join(map(str, sizes))},\t{','.join(map(str, starts))},\n")
        subprocess.run([*sekva, "faidx", fasta, "chr1:1-1"], check=True, capture_output=True)  # index, page cache
        print(f"genome {fasta}, 200,000 regions; best of {REPEAT} runs, peak RSS in MiB")
        print(f"{'task':<46} {'sekva':>9} {'peer':>9} {'ratio':>7} {'RSS':>8} {'peer RSS':>8} {'ratio':>7}")
        if samtools:
            compare("faidx -r regions.txt vs samtools faidx",
                    [*sekva, "faidx", fasta, "-r", regions], [samtools, "faidx", fasta, "-r", regions], work)
            compare("faidx -i -r regions.txt vs samtools faidx",
                    [*sekva, "faidx", "-i", fasta, "-r", regions], [samtools, "faidx", "-i", fasta, "-r", regions],
                    work)
        if bedtools:
            for label, path in (("BED3", bed), ("BED6, half on -", stranded)):
                compare(f"getfasta -s ({label}) vs bedtools getfasta",
                        [*sekva, "getfasta", "-s", "-fi", fasta, "-bed", path],
                        [bedtools, "getfasta", "-s", "-fi", fasta, "-bed", path], work)
            compare("getfasta -split -s (BED12) vs bedtools",
                    [*sekva, "getfasta", "-split", "-s", "-fi", fasta, "-bed", spliced],
                    [bedtools, "getfasta", "-split", "-s", "-fi", fasta, "-bed", spliced], work)
        start_up = best([*sekva, "faidx", fasta, "chr1:1-10"], os.path.join(work, "one.out"), repeat=10)[0]
        line = f"start-up: sekva faidx genome.fa chr1:1-10 takes {start_up * 1000:.0f} ms"
        if samtools:
            peer = best([samtools, "faidx", fasta, "chr1:1-10"], os.path.join(work, "one.out"), repeat=10)[0]
            line += f" (samtools: {peer * 1000:.0f} ms)"
        print(line)
        print("ratio = peer / sekva (above 1: sekva is faster or smaller)")


if __name__ == "__main__":
    main()
