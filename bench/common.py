"""Timing helpers shared by the benchmarks: best-of-N wall time and a ratio table."""
import importlib
import time


def optional_peer(module):
    """The peer library if it is installed, else None: peers are left out of the tables."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def best_time(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def print_table(title, rows):
    """rows: (task, sekva seconds, peer name, peer seconds)."""
    print(f"\n{title}")
    print(f"{'task':<44} {'sekva':>10} {'peer':>22} {'peer time':>10} {'ratio':>8}")
    for task, ours, peer, theirs in rows:
        ratio = theirs / ours if ours and theirs else float("nan")
        print(f"{task:<44} {ours:>9.4f}s {peer:>22} {theirs:>9.4f}s {ratio:>7.1f}x")
    print("ratio = peer time / sekva time (above 1: sekva is faster)")
