"""IntervalDataset: fixed-width windows centred on the intervals of a BED file, with labels, random
shifts and reverse-complement augmentation, one engine call per batch."""
from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from ._common import check_dtype, check_probability, check_seed, check_width, open_genome, read_intervals, uniforms

_SHIFT, _FLIP = 0, 1   # the two random streams of an item


class IntervalDataset:
    """Map-style dataset: item i is the window of `width` bases centred on interval i (shifted by up
    to `jitter` bases either way, reverse-complemented on the minus strand, flipped with probability
    `rc`), with `labels[i]` when labels are given.

    An item's shift and flip are a function of (seed, epoch, i) alone, so any batching and any number
    of DataLoader workers give the same windows. `dataset[i]` is one item, `dataset[indices]` a batch
    of arrays, `__getitems__(indices)` the list of items a DataLoader collates, all from one engine call.
    """

    def __init__(self, genome: Any, intervals: Any, width: int, *, labels: Any = None, jitter: int = 0,
                 rc: float = 0.0, seed: int = 0, onehot: bool = True, dtype: Any = "float32") -> None:
        self.genome = open_genome(genome)
        self.width = check_width(width)
        if isinstance(jitter, bool) or not isinstance(jitter, (int, np.integer)) or jitter < 0:
            raise ValueError(f"jitter must be a non-negative integer, not {jitter!r}")
        self.jitter = int(jitter)
        self.rc = check_probability("rc", rc)
        self.seed = check_seed(seed)
        self.onehot = bool(onehot)
        self.dtype = check_dtype(dtype, True) if self.onehot else "uint8"
        self.epoch = 0
        names, starts, ends, strands = read_intervals(intervals, "intervals")
        known = set(self.genome.references)
        for i, name in enumerate(names.tolist()):
            if name not in known:
                raise KeyError(f"intervals row {i} names {name!r}, which is not a record of the genome")
        self.names = names
        # the window's 0-based start before any shift: centred as the array methods centre
        self.centred_starts = starts + (ends - starts - self.width) // 2
        self.minus = np.zeros(len(names), dtype=bool) if strands is None or not len(strands) else strands == "-"
        if labels is None:
            self.labels = None
        else:
            self.labels = np.asarray(labels)
            if self.labels.ndim == 0 or len(self.labels) != len(names):
                raise ValueError(f"labels must have one row per interval ({len(names)}), "
                                 f"not shape {self.labels.shape}")

    def __len__(self) -> int:
        return len(self.names)

    def set_epoch(self, epoch: int) -> None:
        """Draw the shifts and flips of another epoch (call it before each pass, in the main process)."""
        if isinstance(epoch, bool) or not isinstance(epoch, (int, np.integer)) or epoch < 0:
            raise ValueError(f"epoch must be a non-negative integer, not {epoch!r}")
        self.epoch = int(epoch)

    def coordinates(self, indices: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(names, 0-based starts, strands) of the windows of these items in the current epoch."""
        index = self._indices(indices)
        starts = self.centred_starts[index]
        if self.jitter:
            u = uniforms(self.seed, self.epoch, _SHIFT, index)
            starts = starts + (np.floor(u * (2 * self.jitter + 1)).astype(np.int64) - self.jitter)
        minus = self.minus[index]
        if self.rc:
            minus = minus ^ (uniforms(self.seed, self.epoch, _FLIP, index) < self.rc)
        return self.names[index], starts, np.where(minus, "-", "+")

    def windows(self, indices: Any) -> np.ndarray:
        """The windows of these items as one array, from one engine call."""
        names, starts, strands = self.coordinates(indices)
        minus = strands == "-"
        if self.onehot:
            return self.genome.fetch_onehot(names=names, starts=starts + 1, ends=starts + self.width,
                                            width=self.width, rc=minus, dtype=self.dtype)
        return self.genome.fetch_array(names=names, starts=starts + 1, ends=starts + self.width,
                                       width=self.width, rc=minus)

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, (int, np.integer)) and not isinstance(i, bool):
            x = self.windows([i])[0]
            return x if self.labels is None else (x, self.labels[self._indices([i])[0]])
        index = self._indices(i)
        x = self.windows(index)
        return x if self.labels is None else (x, self.labels[index])

    def __getitems__(self, indices: Sequence[int]) -> list[Any]:
        """The items a DataLoader's default collate stacks into a batch, from one engine call."""
        index = self._indices(indices)
        x = self.windows(index)
        if self.labels is None:
            return list(x)
        return list(zip(x, self.labels[index]))

    def _indices(self, indices: Any) -> np.ndarray:
        index = np.asarray(indices)
        if index.ndim != 1 or (len(index) and index.dtype.kind not in "iu"):
            raise TypeError("items are chosen by an integer or a sequence of integers")
        index = index.astype(np.int64)
        n = len(self.names)
        bad = np.flatnonzero((index < -n) | (index >= n))
        if len(bad):
            raise IndexError(f"item {int(index[bad[0]])} of a dataset of {n}")
        return np.where(index < 0, index + n, index)

    def __repr__(self) -> str:
        return f"IntervalDataset({len(self)} intervals, width={self.width}, jitter={self.jitter}, rc={self.rc})"
