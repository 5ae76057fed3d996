"""Timing helpers shared by the benchmarks: best-of-N wall time, a ratio table and the command line."""
import argparse
import importlib
import textwrap
import time

DATA_NOTE = ("Every script but bench_sequence.py reads the synthetic genome under bench/data (or "
             "$SEKVA_BENCH_DATA): 1.43 GB of FASTA, its .fai and a 4.6 MB BED file, written on first use "
             "by whichever script runs first ({genome}). Times, disk and memory were measured in one run "
             "on the shared 2-core VM of the README, beside other jobs; peak memory is the largest "
             "resident set of the script's processes, mapped genome pages included.")


def command_line(doc, cost, genome="about 40 s and 0.5 GB of memory while it is written"):
    """The script's argument parser: --help prints its docstring and what a full run costs."""
    paragraphs = [f"A full run: {cost}"] + ([DATA_NOTE.format(genome=genome)] if genome else [])
    return argparse.ArgumentParser(description=doc, epilog="\n\n".join(textwrap.fill(p, 96) for p in paragraphs),
                                   formatter_class=argparse.RawDescriptionHelpFormatter)


def optional_peer(module):
    """The peer library if it is installed, else None: peers are left out of the tables."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def best_time(fn, repeat=3, clock=time.perf_counter):
    """Best of `repeat` timings of fn() by `clock`: wall time, or time.process_time for the
    processor time of all the process's threads."""
    best = float("inf")
    for _ in range(repeat):
        t0 = clock()
        fn()
        best = min(best, clock() - t0)
    return best


def print_table(title, rows):
    """rows: (task, sekva seconds, peer name, peer seconds)."""
    print(f"\n{title}")
    print(f"{'task':<44} {'sekva':>10} {'peer':>22} {'peer time':>10} {'ratio':>8}")
    for task, ours, peer, theirs in rows:
        ratio = theirs / ours if ours and theirs else float("nan")
        print(f"{task:<44} {ours:>9.4f}s {peer:>22} {theirs:>9.4f}s {ratio:>7.1f}x")
    print("ratio = peer time / sekva time (above 1: sekva is faster)")
