"""GenomeWindows: random fixed-width windows of a genome in batches, with hold-out records, excluded
regions, a largest fraction of N and reverse-complement augmentation."""
from __future__ import annotations

import hashlib
import os
import threading
from typing import Any, Iterator, Mapping, Sequence

import numpy as np

from ._common import (check_dtype, check_probability, check_seed, check_width, open_genome, read_intervals,
                      register_iterable, worker_slot)

Batch = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]

# Bases that count as N: everything but A, C, G and T in either case (N itself, other IUPAC codes).
_NOT_ACGT = np.ones(256, dtype=bool)
_NOT_ACGT[list(b"ACGTacgt")] = False

_CHUNK = 1 << 23            # bases per region read while the N index is made
_CHUNKS_PER_CALL = 8        # so a call holds at most 64 MiB of bases
_DRAWS_PER_WINDOW = 1000    # a batch gives up when fewer than one draw in this many is usable

# N runs per record, made once per process for each (file, index, record, length, file time).
_n_runs_cache: dict[tuple[Any, ...], tuple[np.ndarray, np.ndarray]] = {}
_n_runs_lock = threading.Lock()


def n_runs(fasta: Any, name: str, length: int, cache_dir: Any = None) -> tuple[np.ndarray, np.ndarray]:
    """(starts, ends) of the runs of N in a record, 0-based and end-exclusive, sorted; kept for the
    process, and in `cache_dir` too when given (a file per record, named by a hash of the key)."""
    key = _cache_key(fasta, name, length)
    with _n_runs_lock:
        found = _n_runs_cache.get(key)
    if found is not None:
        return found
    stored = None
    if cache_dir is not None:
        digest = hashlib.sha256(repr(key).encode()).hexdigest()[:32]
        stored = os.path.join(os.fspath(cache_dir), f"sekva-n-runs-{digest}.npz")
        found = _load_runs(stored, key)
        if found is not None:
            with _n_runs_lock:
                _n_runs_cache[key] = found
            return found
    starts_parts, ends_parts = [], []
    chunk_starts = np.arange(0, length, _CHUNK, dtype=np.int64)
    for first in range(0, len(chunk_starts), _CHUNKS_PER_CALL):
        begins = chunk_starts[first:first + _CHUNKS_PER_CALL]
        ends = np.minimum(begins + _CHUNK, length)
        data, offsets = fasta.fetch_ragged(names=[name] * len(begins), starts=begins + 1, ends=ends)
        if offsets[-1] != ends[-1] - begins[0]:
            raise ValueError(f"record {name!r} gave {offsets[-1]} bases where its index promises "
                             f"{ends[-1] - begins[0]}")
        flags = _NOT_ACGT[data]
        # run edges from comparisons of neighbours: no copy of the flags, and only the edges listed
        run_starts = np.flatnonzero(flags[1:] > flags[:-1]) + 1
        run_ends = np.flatnonzero(flags[:-1] > flags[1:]) + 1
        if len(flags) and flags[0]:
            run_starts = np.concatenate(([0], run_starts))
        if len(flags) and flags[-1]:
            run_ends = np.append(run_ends, len(flags))
        # positions in `data` become positions in the record (the chunks are back to back)
        starts_parts.append(run_starts + begins[0])
        ends_parts.append(run_ends + begins[0])
    starts = np.concatenate(starts_parts) if starts_parts else np.zeros(0, np.int64)
    ends = np.concatenate(ends_parts) if ends_parts else np.zeros(0, np.int64)
    # a run cut by a boundary between two calls is one run
    if len(starts) > 1:
        keep = np.ones(len(starts), dtype=bool)
        keep[1:] = starts[1:] != ends[:-1]
        starts, ends = starts[keep], ends[np.append(keep[1:], True)]
    runs = (starts.astype(np.int64), ends.astype(np.int64))
    with _n_runs_lock:
        _n_runs_cache[key] = runs
    if stored is not None:
        _store_runs(stored, key, runs)
    return runs


def _load_runs(path: str, key: tuple[Any, ...]) -> tuple[np.ndarray, np.ndarray] | None:
    """The runs stored for this key, or None when the file is missing, damaged or for another key."""
    try:
        with np.load(path, allow_pickle=False) as f:
            if str(f["key"]) != repr(key):
                return None
            starts, ends = f["starts"].astype(np.int64), f["ends"].astype(np.int64)
    except (OSError, ValueError, KeyError, EOFError):
        return None
    if starts.shape != ends.shape or starts.ndim != 1:
        return None
    return starts, ends


def _store_runs(path: str, key: tuple[Any, ...], runs: tuple[np.ndarray, np.ndarray]) -> None:
    """Written to a temporary name and renamed, so a reader never sees half a file; a cache that
    cannot be written only costs the next process the pass over the bases."""
    temporary = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        with open(temporary, "wb") as f:
            np.savez(f, key=np.array(repr(key)), starts=runs[0], ends=runs[1])
        os.replace(temporary, path)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass


def _cache_key(fasta: Any, name: str, length: int) -> tuple[Any, ...]:
    args = fasta.__reduce__()[1]
    path = args[0]
    try:
        stat = os.stat(path)
        stamp: tuple[int, int] = (stat.st_mtime_ns, stat.st_size)
    except (OSError, TypeError, ValueError):
        stamp = (0, 0)
    return (path, args[1], name, length, stamp)


def _usable_starts(length: int, width: int, excluded: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(first, count) of the runs of window starts on one record whose windows fit in it and miss
    every excluded interval; `excluded` holds (start, end) rows, BED coordinates."""
    last = length - width
    if last < 0:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    excluded = excluded[excluded[:, 1] > excluded[:, 0]] if len(excluded) else excluded
    if not len(excluded):
        return np.array([0], np.int64), np.array([last + 1], np.int64)
    # a window starting at s covers [s, s + width): it meets [a, b) when a - width < s < b
    lo = np.minimum(np.maximum(excluded[:, 0] - width + 1, 0), last + 1)
    hi = np.minimum(excluded[:, 1], last + 1)
    order = np.argsort(lo, kind="stable")
    firsts, counts = [], []
    position = 0
    for begin, end in zip(lo[order].tolist(), hi[order].tolist()):
        if begin > position:
            firsts.append(position)
            counts.append(begin - position)
        position = max(position, end)
    if position <= last:
        firsts.append(position)
        counts.append(last + 1 - position)
    return np.array(firsts, np.int64), np.array(counts, np.int64)


class GenomeWindows:
    """Random windows of `width` bases from the records of one split of a genome.

    `sample(n)` returns `(x, names, starts, strands)` for n windows: one-hot (or ASCII codes) of shape
    (n, width, 4) (or (n, width)), record names, 0-based starts (int64, BED-like) and "+"/"-";
    iterating yields such batches of `batch_size`, batch k the same whatever the number of DataLoader
    workers (`batches` of them per epoch, endless without it)."""

    def __init__(self, genome: Any, width: int, *, records: Sequence[str] | None = None,
                 holdout: Mapping[str, Sequence[str]] | None = None, split: str = "train",
                 exclude: Any = None, max_n: float = 0.0, rc: float = 0.0, seed: int = 0, onehot: bool = True,
                 dtype: Any = "float32", batch_size: int = 256, batches: int | None = None,
                 cache_dir: Any = None) -> None:
        self.genome = open_genome(genome)
        self.cache_dir = cache_dir
        self.width = check_width(width)
        self.max_n = check_probability("max_n", max_n)
        self.rc = check_probability("rc", rc)
        self.seed = check_seed(seed)
        self.onehot = bool(onehot)
        self.dtype = check_dtype(dtype, True) if self.onehot else "uint8"
        self.batch_size = _positive("batch_size", batch_size)
        self.batches = None if batches is None else _positive("batches", batches)
        self.epoch = 0
        lengths = dict(zip(self.genome.references, self.genome.lengths))
        self.split = split
        self.records = _split_records(lengths, records, holdout, split)
        self._index(lengths, exclude)
        self._rng = np.random.default_rng(np.random.SeedSequence(self.seed))
        register_iterable(type(self))

    def _index(self, lengths: Mapping[str, int], exclude: Any) -> None:
        excluded = _excluded_by_record(exclude)
        self._names = np.array(self.records, dtype=str)
        record_lengths = np.array([lengths[r] for r in self.records], dtype=np.int64)
        self._offsets = np.concatenate(([0], np.cumsum(record_lengths)))[:-1].astype(np.int64)
        firsts, counts, owners = [], [], []
        for i, name in enumerate(self.records):
            first, count = _usable_starts(int(record_lengths[i]), self.width,
                                          excluded.get(name, np.zeros((0, 2), np.int64)))
            firsts.append(first)
            counts.append(count)
            owners.append(np.full(len(first), i, np.int64))
        self._segment_first = np.concatenate(firsts) if firsts else np.zeros(0, np.int64)
        self._segment_record = np.concatenate(owners) if owners else np.zeros(0, np.int64)
        counts_all = np.concatenate(counts) if counts else np.zeros(0, np.int64)
        self._segment_end = np.cumsum(counts_all)
        self._segment_begin = self._segment_end - counts_all
        self.usable = int(self._segment_end[-1]) if len(counts_all) else 0
        if self.usable == 0:
            raise ValueError(f"no window of {self.width} bases fits in the records of split {self.split!r} "
                             f"({', '.join(self.records)}) outside the excluded regions")
        self._max_n_bases = int(np.floor(self.max_n * self.width + 1e-9))
        if self._max_n_bases >= self.width:
            self._n_starts = None
            return
        run_starts, run_lengths = [], []
        for i, name in enumerate(self.records):
            starts, ends = n_runs(self.genome, name, int(record_lengths[i]), self.cache_dir)
            run_starts.append(starts + self._offsets[i])
            run_lengths.append(ends - starts)
        self._n_starts = np.concatenate(run_starts)
        self._n_lengths = np.concatenate(run_lengths)
        self._n_before = np.concatenate(([0], np.cumsum(self._n_lengths)))[:-1]

    def _n_count(self, begin: np.ndarray) -> np.ndarray:
        """N bases in [begin, begin + width) of the records laid end to end."""
        count: np.ndarray = self._n_upto(begin + self.width) - self._n_upto(begin)
        return count

    def _n_upto(self, x: np.ndarray) -> np.ndarray:
        assert self._n_starts is not None
        run = np.searchsorted(self._n_starts, x, side="right") - 1
        inside = run >= 0
        safe = np.where(inside, run, 0)
        if not len(self._n_starts):
            return np.zeros(len(x), np.int64)
        counted = self._n_before[safe] + np.minimum(x - self._n_starts[safe], self._n_lengths[safe])
        return np.where(inside, counted, 0)

    def _draw(self, rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
        """(record index, start) of n windows that pass max_n, drawn uniformly over usable starts."""
        records, starts = [], []
        found = draws = accepted = 0
        limit = _DRAWS_PER_WINDOW * n + 10_000
        while found < n:
            if draws >= limit:
                raise ValueError(f"only {found} of {n} windows found in {draws} draws: fewer than one window of "
                                 f"{self.width} bases in {_DRAWS_PER_WINDOW} holds at most max_n={self.max_n} of N "
                                 f"in split {self.split!r}")
            # as many draws as the acceptance seen so far says are needed, and a few more
            wanted = n - found
            if self._n_starts is not None:
                rate = max(accepted / draws, 1 / _DRAWS_PER_WINDOW) if draws else 1.0
                wanted = min(int(wanted / rate * 1.1) + 16, limit - draws)
            k = wanted
            draws += k
            u = rng.integers(0, self.usable, size=k, dtype=np.int64)
            segment = np.searchsorted(self._segment_end, u, side="right")
            record = self._segment_record[segment]
            start = self._segment_first[segment] + (u - self._segment_begin[segment])
            if self._n_starts is not None:
                ok = self._n_count(self._offsets[record] + start) <= self._max_n_bases
                record, start = record[ok], start[ok]
            accepted += len(record)
            take = min(n - found, len(record))
            records.append(record[:take])
            starts.append(start[:take])
            found += take
        return np.concatenate(records), np.concatenate(starts)

    def _windows(self, rng: np.random.Generator, n: int) -> Batch:
        record, starts = self._draw(rng, n)
        minus = rng.random(n) < self.rc
        names = self._names[record]
        if self.onehot:
            x = self.genome.fetch_onehot(names=names, starts=starts + 1, ends=starts + self.width, rc=minus,
                                         dtype=self.dtype)
        else:
            x = self.genome.fetch_array(names=names, starts=starts + 1, ends=starts + self.width, rc=minus)
        return x, names, starts, np.where(minus, "-", "+")

    def sample(self, batch_size: int | None = None) -> Batch:
        """`batch_size` (default: the constructor's) random windows from this object's own stream:
        the same seed gives the same sequence of samples."""
        n = self.batch_size if batch_size is None else _positive("batch_size", batch_size)
        return self._windows(self._rng, n)

    def batch(self, k: int) -> Batch:
        """Batch k of the current epoch: a function of (seed, epoch, k) alone."""
        if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or k < 0:
            raise IndexError(f"batch number must be a non-negative integer, not {k!r}")
        if self.batches is not None and k >= self.batches:
            raise IndexError(f"batch {k} of {self.batches}")
        rng = np.random.default_rng(np.random.SeedSequence(self.seed, spawn_key=(self.epoch, int(k))))
        return self._windows(rng, self.batch_size)

    def set_epoch(self, epoch: int) -> None:
        """Draw the batches of another epoch (call it before each pass, in the main process)."""
        if isinstance(epoch, bool) or not isinstance(epoch, (int, np.integer)) or epoch < 0:
            raise ValueError(f"epoch must be a non-negative integer, not {epoch!r}")
        self.epoch = int(epoch)

    def __iter__(self) -> Iterator[Batch]:
        worker, workers = worker_slot()
        k = worker
        while self.batches is None or k < self.batches:
            yield self.batch(k)
            k += workers

    def __getitem__(self, k: int) -> Batch:
        return self.batch(k)

    def __len__(self) -> int:
        if self.batches is None:
            raise TypeError("GenomeWindows without batches= is endless and has no length")
        return self.batches

    def __repr__(self) -> str:
        return (f"GenomeWindows(width={self.width}, split={self.split!r}, records={len(self.records)}, "
                f"usable starts={self.usable}, batch_size={self.batch_size})")


def _positive(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return int(value)


def _split_records(lengths: Mapping[str, int], records: Sequence[str] | None,
                   holdout: Mapping[str, Sequence[str]] | None, split: str) -> list[str]:
    def known(names: Any, what: str) -> list[str]:
        if isinstance(names, str):
            raise TypeError(f"{what} must be a list of record names, not the string {names!r}")
        out = []
        for name in names:
            if name not in lengths:
                raise KeyError(f"{what} names {name!r}, which is not a record of the genome")
            if name not in out:
                out.append(name)
        return out

    chosen = known(lengths if records is None else records, "records")
    holdout = dict(holdout or {})
    if "train" in holdout:
        raise ValueError("holdout cannot name a split 'train': training uses the records of no hold-out list")
    lists = {key: known(value, f"holdout[{key!r}]") for key, value in holdout.items()}
    if split == "train":
        held = {name for names in lists.values() for name in names}
        out = [name for name in chosen if name not in held]
    elif split in lists:
        wanted = set(lists[split])
        out = [name for name in chosen if name in wanted]
    else:
        raise ValueError(f"split must be 'train' or one of the holdout keys {sorted(lists)}, not {split!r}")
    if not out:
        raise ValueError(f"split {split!r} has no records")
    return out


def _excluded_by_record(exclude: Any) -> dict[str, np.ndarray]:
    if exclude is None:
        return {}
    names, starts, ends, _ = read_intervals(exclude, "exclude", stranded=False)
    out = {}
    for name in np.unique(names).tolist():
        mine = names == name
        out[name] = np.stack([starts[mine], ends[mine]], axis=1)
    return out
