"""Runs benchmark scripts several times and prints, for every row with a ratio, the ratio of the
first run and the lowest and highest of all runs: how far one run of a row can be trusted on the
machine at hand. The README table is made from its output.
    python bench/spread.py --runs 3 faidx batch reader sequence arrays compressed cli parallel
    python bench/spread.py --runs 3 "fastq --gigabytes 0.5 --repeat 2"
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# A row: its label, then a time ("0.1234s"), then anything, then the first ratio ("12.3x").
ROW = re.compile(r"^(?P<label>\S.*?)\s+[\d.]+s\s.*?(?P<ratio>\d+(?:\.\d+)?|nan)x(?:\s|$)")


def rows(text):
    """(label, ratio) of every row of a script's output that has a time and a ratio, in order."""
    out = []
    for line in text.splitlines():
        m = ROW.match(line)
        if m and m.group("ratio") != "nan":
            out.append((" ".join(m.group("label").split()), float(m.group("ratio"))))
    return out


def run(script, args, log):
    started = time.perf_counter()
    done = subprocess.run([sys.executable, os.path.join(HERE, f"bench_{script}.py"), *args], cwd=HERE,
                          capture_output=True, text=True)
    with open(log, "w") as f:
        f.write(done.stdout + done.stderr)
    if done.returncode != 0:
        raise SystemExit(f"bench_{script}.py failed (exit {done.returncode}); its output is in {log}")
    return done.stdout, time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scripts", nargs="+", help='script names without "bench_" and ".py", with their arguments')
    parser.add_argument("--runs", type=int, default=3)
    opts = parser.parse_args()
    logs = tempfile.mkdtemp(prefix="sekva-spread-")
    for given in opts.scripts:
        script, *args = shlex.split(given)
        runs = []
        for k in range(opts.runs):
            text, took = run(script, args, os.path.join(logs, f"{script}-{k + 1}.txt"))
            runs.append(rows(text))
            print(f"bench_{script}.py run {k + 1}: {took:.0f} s", file=sys.stderr, flush=True)
        print(f"\nbench_{script}.py {' '.join(args)}".rstrip())
        print(f"  {'row':<70} {'run 1':>8} {'lowest':>8} {'highest':>8}")
        for i, (label, first) in enumerate(runs[0]):
            seen = [r[i][1] for r in runs if i < len(r) and r[i][0] == label]
            print(f"  {label[:70]:<70} {first:>7.1f}x {min(seen):>7.1f}x {max(seen):>7.1f}x")
    print(f"\n(every run's output is in {logs})")


if __name__ == "__main__":
    main()
