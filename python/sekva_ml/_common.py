"""What the samplers share: opening a genome, reading BED columns, counter-based random numbers, and
the worker information of a PyTorch DataLoader, looked up only where torch is already loaded."""
from __future__ import annotations

import os
import sys
from typing import Any, Tuple, Union

import numpy as np

import sekva

Genome = Union["sekva.Fasta", "sekva.Faidx", str, "os.PathLike[str]"]
Columns = Tuple[Any, ...]

_DTYPES = ("uint8", "float32", "float16", "bool")


_FAIDX_OPTIONS = ("filename", "indexname", "as_raw", "strict_bounds", "sequence_always_upper", "rebuild",
                  "build_index", "one_based_attributes", "default_seq", "mutable", "key_function", "split_char",
                  "filt_function", "read_long_names", "duplicate_action", "read_ahead", "warn_to")


def open_genome(genome: Any) -> sekva.Fasta:
    """A Fasta as given; a path opened as a Fasta; a Faidx as a Fasta of the same file and options
    (the samplers need record lengths, which only a Fasta offers; opening reads only the .fai)."""
    if isinstance(genome, sekva.Fasta):
        return genome
    if isinstance(genome, sekva.Faidx):
        reduced: Any = genome.__reduce__()
        return sekva.Fasta(**dict(zip(_FAIDX_OPTIONS, reduced[1])))
    if isinstance(genome, (str, os.PathLike)):
        return sekva.Fasta(genome)
    raise TypeError(f"genome must be a sekva.Fasta, a sekva.Faidx or a path, not {type(genome).__name__}")


def check_dtype(dtype: Any, onehot: bool) -> str:
    text = np.dtype(dtype).name if not isinstance(dtype, str) else dtype
    if onehot and text not in _DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPES)} for one-hot windows, not {dtype!r}")
    if not onehot and text != "uint8":
        raise ValueError(f"windows of ASCII codes (onehot=False) are uint8, not {dtype!r}")
    return text


def check_probability(name: str, value: float) -> float:
    value = float(value)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must be a probability between 0 and 1, not {value!r}")
    return value


def check_width(width: Any) -> int:
    if isinstance(width, bool) or not isinstance(width, (int, np.integer)) or width < 1:
        raise ValueError(f"width must be a positive integer, not {width!r}")
    return int(width)


def check_seed(seed: Any) -> int:
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, not {seed!r}")
    return int(seed)


def read_intervals(source: Any, what: str, stranded: bool = True
                   ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray | None]:
    """(names, starts, ends, strands or None) from a BED path or from columns (BED coordinates:
    0-based starts, exclusive ends). Lines starting with '#', 'track' or 'browser' are headers.
    Without `stranded`, a sixth BED column is not read (blacklists put other things there)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return _read_bed(source, what, stranded)
    columns = tuple(source)
    if len(columns) not in (3, 4):
        raise ValueError(f"{what} must be a BED path or (names, starts, ends[, strands]) columns")
    names = np.asarray(columns[0]).astype(str)
    starts = _int_column(columns[1], f"{what} starts")
    ends = _int_column(columns[2], f"{what} ends")
    strands = None if len(columns) == 3 else np.asarray(columns[3]).astype(str)
    if not (len(names) == len(starts) == len(ends)) or (strands is not None and len(strands) != len(names)):
        raise ValueError(f"the {what} columns have different lengths")
    _check_intervals(starts, ends, what)
    if strands is not None:
        strands = _check_strands(strands, what)
    return names, starts, ends, strands


def _int_column(values: Any, what: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind not in "iu":
        try:
            converted = array.astype(np.int64)
        except (TypeError, ValueError, OverflowError):
            raise ValueError(f"{what} must be integers") from None
        if not np.array_equal(converted, array):
            raise ValueError(f"{what} must be integers")
        array = converted
    return array.astype(np.int64)


def _check_intervals(starts: np.ndarray, ends: np.ndarray, what: str) -> None:
    bad = np.flatnonzero((starts < 0) | (ends < starts))
    if len(bad):
        i = int(bad[0])
        raise ValueError(f"{what} row {i}: start {starts[i]} and end {ends[i]} are not a BED interval")


def _check_strands(strands: np.ndarray, what: str) -> np.ndarray:
    strands = np.where(strands == ".", "+", strands)
    bad = np.flatnonzero((strands != "+") & (strands != "-"))
    if len(bad):
        raise ValueError(f"{what} row {int(bad[0])}: strand {strands[bad[0]]!r} is not '+', '-' or '.'")
    return strands


def _read_bed(path: Any, what: str, stranded: bool) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray | None]:
    names: list[str] = []
    starts: list[int] = []
    ends: list[int] = []
    strands: list[str] = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            fields = line.split("\t")
            if len(fields) < 3:
                raise ValueError(f"{os.fsdecode(path)} line {number}: a BED line needs three tab-separated fields")
            try:
                start, end = int(fields[1]), int(fields[2])
            except ValueError:
                raise ValueError(f"{os.fsdecode(path)} line {number}: start and end must be integers") from None
            if start < 0 or end < start:
                raise ValueError(f"{os.fsdecode(path)} line {number}: start {start} and end {end} are not a BED interval")
            names.append(fields[0])
            starts.append(start)
            ends.append(end)
            strands.append(fields[5] if stranded and len(fields) > 5 else "+")
    strand_column = _check_strands(np.array(strands, dtype=str), what) if strands else np.array([], dtype=str)
    return (np.array(names, dtype=str), np.array(starts, dtype=np.int64), np.array(ends, dtype=np.int64),
            strand_column)


_GOLDEN = np.uint64(0x9E3779B97F4A7C15)


def _mix(x: np.ndarray) -> np.ndarray:
    """splitmix64's finaliser over a uint64 array (wrapping arithmetic)."""
    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    out: np.ndarray = x ^ (x >> np.uint64(31))
    return out


def uniforms(seed: int, epoch: int, stream: int, index: np.ndarray) -> np.ndarray:
    """Uniform numbers in [0, 1), one per index: a pure function of (seed, epoch, stream, index),
    so an item's randomness does not depend on which batch or worker fetches it."""
    key = _mix(np.array([seed & 0xFFFFFFFFFFFFFFFF], dtype=np.uint64))
    key = _mix(key ^ _mix(np.array([epoch * 4 + stream + 1], dtype=np.uint64)))
    with np.errstate(over="ignore"):
        x = _mix(key + (np.asarray(index, dtype=np.uint64) + np.uint64(1)) * _GOLDEN)
    return (x >> np.uint64(11)).astype(np.float64) * (1.0 / (1 << 53))


def worker_slot() -> tuple[int, int]:
    """(worker id, number of workers) inside a PyTorch DataLoader worker, else (0, 1). A worker
    process has torch loaded already, so nothing is imported here."""
    torch = sys.modules.get("torch")
    if torch is None:
        return 0, 1
    info = torch.utils.data.get_worker_info()
    if info is None:
        return 0, 1
    return int(info.id), int(info.num_workers)


def register_iterable(cls: type) -> None:
    """Make DataLoader see `cls` as an iterable dataset, where torch is loaded already."""
    torch = sys.modules.get("torch")
    if torch is None:
        return
    data = getattr(getattr(torch, "utils", None), "data", None)
    iterable = getattr(data, "IterableDataset", None)
    if iterable is not None and not issubclass(cls, iterable):
        iterable.register(cls)
