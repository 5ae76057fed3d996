"""Types of the sekva extension module: random access to FASTA files through a .fai index."""
import collections.abc as _abc
from os import PathLike as _PathLike
from types import TracebackType as _TracebackType
from typing import BinaryIO as _BinaryIO
from typing import Any as _Any, ClassVar as _ClassVar, NoReturn as _NoReturn, SupportsIndex as _SupportsIndex
from typing import Literal as _Literal, TypedDict as _TypedDict, final as _final, overload as _overload

from _typeshed import FileDescriptorLike as _FileDescriptorLike

import numpy as _np
import numpy.typing as _npt

__version__: str

class _Features(_TypedDict):
    bgzf: _Literal["libdeflate", "zlib"] | None
    remote: bool
    simd: _Literal["avx2", "ssse3", "sse2", "scalar"]

# What this build can do: the inflater of BGZF files (None: they are refused), whether URLs open,
# and the widest vector instructions the kernels use on this processor.
features: _Features
__all__ = [
    "Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord",
    "FaidxError", "FastaNotFoundError", "IndexNotFoundError", "FetchError", "FastaIndexingError", "FaidxIOError",
    "RegionError",
]

# The package's own index builder (sekva fqidx): not part of the API. True for a FASTQ file.
def _build_index(filename: str | _PathLike[str], indexname: str | _PathLike[str] | None) -> bool: ...

# A Fasta whose table lists only the records of `names` (sekva fqidx -r): not part of the API.
def _fasta_of_names(names: _abc.Iterable[str], filename: str | _PathLike[str], **options: _Any) -> Fasta: ...

# The package's own annotation reader and transcript writer (sekva transcripts, sekva_ml): not part
# of the API. The annotation handle is an opaque object.
def _read_annotation(text: bytes) -> object: ...
def _annotation_transcripts(
    annotation: object,
) -> list[tuple[str, str, str, list[tuple[int, int]], list[tuple[int, int]], int]]: ...
def _write_transcripts(
    fasta: Fasta,
    annotation: object,
    exons: _FileDescriptorLike | _BinaryIO | None = None,
    cds: _FileDescriptorLike | _BinaryIO | None = None,
    proteins: _FileDescriptorLike | _BinaryIO | None = None,
    projected: bool = False,
    stop: str = ".",
    warn: _abc.Callable[[bytes], object] | None = None,
) -> tuple[str, int | None, str, int, int] | None: ...

# The errors sekva raises about files, indexes, records and regions: str() is the message as given.
class FaidxError(Exception): ...
class FastaNotFoundError(FaidxError, FileNotFoundError): ...
class IndexNotFoundError(FaidxError, FileNotFoundError): ...
class FetchError(FaidxError, KeyError): ...
class FastaIndexingError(FaidxError, ValueError): ...
class FaidxIOError(FaidxError, OSError): ...
class RegionError(FaidxError, ValueError): ...

# File names: a str or an os.PathLike giving one (bytes are refused).
_Path = str | _PathLike[str]

# Regions for the array methods: (name, start, end) tuples, or the three columns apart.
_Regions = _abc.Sequence[tuple[str, int, int]]
_Ints = _abc.Sequence[int] | _npt.NDArray[_np.integer[_Any]]
_Strands = bool | None | _abc.Sequence[bool | str] | _npt.NDArray[_np.bool_]
_Names = _abc.Sequence[str] | _npt.NDArray[_Any]
_DType = str | type[_np.generic] | _np.dtype[_Any]
_Alleles = _abc.Sequence[str | bytes] | _npt.NDArray[_Any]
# Where warning lines go: "WARNING: " lines on descriptor 2, or warnings.warn(line, UserWarning).
_WarnTo = _Literal["stderr", "python"]
_DuplicateAction = _Literal["stop", "first", "last", "longest", "shortest", "drop"]

# Accepted and kept beside the index, never called.
_KeyFunction = _abc.Callable[[str], str]
_FilterFunction = _abc.Callable[[str], bool]

@_final
class Sequence:
    """A stretch of bases with its record name, coordinates and strand flag."""

    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: int | None = None,
        end: int | None = None,
        comp: bool = False,
    ) -> Sequence: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def seq(self) -> str: ...
    @seq.setter
    def seq(self, value: str) -> None: ...
    @property
    def start(self) -> int | None: ...
    @start.setter
    def start(self, value: int | None) -> None: ...
    @property
    def end(self) -> int | None: ...
    @end.setter
    def end(self, value: int | None) -> None: ...
    @property
    def comp(self) -> bool: ...
    @comp.setter
    def comp(self, value: bool) -> None: ...
    @property
    def fancy_name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def orientation(self) -> int | None: ...
    @property
    def reverse(self) -> Sequence: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def translate(self, table: int = 1, stop: str = "*") -> Sequence:
        """The amino acids of the bases by NCBI genetic code `table`, stops as `stop`; name kept."""
    def __neg__(self) -> Sequence: ...
    @_overload
    def __getitem__(self, key: _SupportsIndex, /) -> Sequence: ...
    @_overload
    def __getitem__(self, key: slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: _ClassVar[None]  # type: ignore[assignment]

@_final
class FastaRecord:
    """One record of a Fasta; made by the Fasta, which it keeps alive."""

    @property
    def long_name(self) -> str: ...
    @property
    def description(self) -> str:
        """The header line's text after the record's name ('' when there is none), read from the file."""
    @property
    def unpadded_len(self) -> int: ...
    @property
    def quality(self) -> str:
        """The read's quality characters (FASTQ files; ValueError for FASTA)."""
    @_overload
    def __getitem__(self, key: _SupportsIndex, /) -> Sequence: ...
    @_overload
    def __getitem__(self, key: slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> SequenceIterator: ...
    def __reversed__(self) -> list[Sequence]: ...

@_final
class MutableFastaRecord:
    """Reserved for writable records: every assignment raises NotImplementedError."""

    def __setitem__(self, key: _Any, value: str, /) -> _NoReturn: ...
    def __delitem__(self, key: _Any, /) -> _NoReturn: ...

@_final
class FastaIterator:
    """The records of a Fasta, in the order of its index file."""

    def __iter__(self) -> FastaIterator: ...
    def __next__(self) -> FastaRecord: ...

@_final
class SequenceIterator:
    """A record in line-sized pieces."""

    def __iter__(self) -> SequenceIterator: ...
    def __next__(self) -> Sequence: ...

@_final
class Fasta:
    """A FASTA file with its .fai index, built when missing or older than the file."""

    def __new__(
        cls,
        filename: _Path,
        indexname: _Path | None = None,
        default_seq: str | None = None,
        key_function: _KeyFunction | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        read_ahead: int | None = None,
        mutable: bool = False,
        split_char: str | None = None,
        filt_function: _FilterFunction | None = None,
        one_based_attributes: bool = True,
        read_long_names: bool = False,
        duplicate_action: _DuplicateAction = ...,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        warn_to: _WarnTo = "stderr",
    ) -> Fasta: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    def get_seq(self, name: str, start: int, end: int, rc: bool | None = None) -> Sequence: ...
    def get_quality(self, name: str, start: int, end: int) -> str:
        """The quality characters of bases start to end of a FASTQ read, clamped as get_seq."""
    def get_region(self, region: str, rc: bool | None = None) -> Sequence:
        """The bases of a samtools region string ("chr1", "chr1:1,000-2,000", "{a:b}:1-10"), as get_seq."""
    @property
    def references(self) -> tuple[str, ...]:
        """The record names in index-file order."""
    @property
    def lengths(self) -> tuple[int, ...]:
        """The record lengths in index-file order."""
    @property
    def nreferences(self) -> int: ...
    def get_reference_length(self, reference: str) -> int: ...
    def get_spliced_seq(
        self, name: str, intervals: _abc.Sequence[tuple[int, int]], rc: bool | None = None
    ) -> Sequence: ...
    def fetch_many(self, regions: _abc.Sequence[tuple[str, int, int]], rc: bool | None = None) -> list[Sequence]:
        """High-performance batch fetch for many sequences (1-based, inclusive), in input order."""
    def fetch_many_same_chr(
        self, name: str, regions: _abc.Sequence[tuple[int, int]], rc: bool | None = None
    ) -> list[Sequence]:
        """Batch fetch of (start, end) regions that all lie on the record `name`."""
    def fetch_array(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int | None = None,
        rc: _Strands = None,
        pad: str = "N",
        upper: bool = False,
        out: _npt.NDArray[_np.uint8] | None = None,
    ) -> _npt.NDArray[_np.uint8]:
        """Windows of many regions as one uint8 array of ASCII codes, shape (n, width)."""
    def fetch_onehot(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int | None = None,
        rc: _Strands = None,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        channels_last: bool = True,
        out: _npt.NDArray[_Any] | None = None,
    ) -> _npt.NDArray[_Any]:
        """The windows of fetch_array one-hot encoded: shape (n, width, len(alphabet))."""
    def fetch_variants(
        self,
        names: _abc.Sequence[str] | _npt.NDArray[_Any],
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        *,
        width: int,
        rc: _Strands = None,
        onehot: bool = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
        out: tuple[_npt.NDArray[_Any], _npt.NDArray[_Any]] | None = None,
    ) -> tuple[_npt.NDArray[_Any], _npt.NDArray[_Any]]:
        """Reference and alternate windows of width around each variant (VCF POS, REF, ALT)."""
    @_overload
    def fetch_haplotypes(
        self,
        regions: _Regions | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        variant_offsets: _Ints,
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        width: None = None,
        rc: _Strands = None,
        onehot: _Literal[False] = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]: ...
    @_overload
    def fetch_haplotypes(
        self,
        regions: _Regions | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        variant_offsets: _Ints,
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        width: int,
        rc: _Strands = None,
        onehot: bool = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
    ) -> _npt.NDArray[_Any]: ...
    def fetch_ragged(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        rc: _Strands = None,
        upper: bool = False,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]:
        """All regions' bases back to back, and n + 1 offsets into them."""
    def fetch_qualities(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        phred: bool = True,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]:
        """FASTQ qualities of many regions back to back (Phred scores, or the characters), and n + 1 offsets."""
    def fetch_fastq(self, names: _abc.Sequence[str], width: int = 60) -> bytes:
        """Whole FASTQ reads as FASTQ text, as samtools fqidx prints them."""
    def fetch_fasta(
        self,
        regions: _abc.Sequence[tuple[str, int, int] | None] | None = None,
        heads: _abc.Sequence[str] | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int = 0,
        sep: str = "\n",
        rc: _Strands = None,
        table: bytes | None = None,
    ) -> bytes:
        """Record text of many regions as one bytes object: heads[i], sep, then the bases in lines."""
    @_overload
    def fetch_bed(
        self,
        bed: bytes | _Path | _BinaryIO,
        *,
        head: str = ">{chrom}:{start}-{end}",
        sep: str = "\n",
        width: int = 0,
        stranded: bool = False,
        table: bytes | None = None,
        out: None = None,
        split: bool = False,
    ) -> bytes:
        """Record text of every line of a BED file, each under a header made from its fields."""
    @_overload
    def fetch_bed(
        self,
        bed: bytes | _Path | _BinaryIO,
        *,
        head: str = ">{chrom}:{start}-{end}",
        sep: str = "\n",
        width: int = 0,
        stranded: bool = False,
        table: bytes | None = None,
        out: _FileDescriptorLike,
        split: bool = False,
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Fasta: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_value: BaseException | None = None,
        _traceback: _TracebackType | None = None,
    ) -> None: ...
    @_overload
    def __getitem__(self, key: str, /) -> FastaRecord: ...
    @_overload
    def __getitem__(self, key: _SupportsIndex, /) -> FastaRecord: ...
    def __contains__(self, name: str, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> FastaIterator: ...

@_final
class Faidx:
    """The index engine of a FASTA file, with the options of Fasta in another order."""

    def __new__(
        cls,
        filename: _Path,
        indexname: _Path | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        one_based_attributes: bool = True,
        default_seq: str | None = None,
        mutable: bool = False,
        key_function: _KeyFunction | None = None,
        split_char: str | None = None,
        filt_function: _FilterFunction | None = None,
        read_long_names: bool = False,
        duplicate_action: _DuplicateAction = ...,
        read_ahead: int | None = None,
        warn_to: _WarnTo = "stderr",
    ) -> Faidx: ...
    def fetch(self, name: str, start: int, end: int) -> Sequence: ...
    def fetch_quality(self, name: str, start: int, end: int) -> str:
        """The quality characters of bases start to end of a FASTQ read, clamped as fetch."""
    def fetch_entire_sequence(self, name: str) -> Sequence:
        """The whole record, without bounds checks."""
    def fetch_many(self, regions: _abc.Sequence[tuple[str, int, int]]) -> list[Sequence]:
        """High-performance batch fetch for many sequences (1-based, inclusive), in input order."""
    def fetch_many_same_chr(self, name: str, regions: _abc.Sequence[tuple[int, int]]) -> list[Sequence]:
        """Batch fetch of (start, end) regions that all lie on the record `name`."""
    def fetch_array(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int | None = None,
        rc: _Strands = None,
        pad: str = "N",
        upper: bool = False,
        out: _npt.NDArray[_np.uint8] | None = None,
    ) -> _npt.NDArray[_np.uint8]:
        """Windows of many regions as one uint8 array of ASCII codes, shape (n, width)."""
    def fetch_onehot(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int | None = None,
        rc: _Strands = None,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        channels_last: bool = True,
        out: _npt.NDArray[_Any] | None = None,
    ) -> _npt.NDArray[_Any]:
        """The windows of fetch_array one-hot encoded: shape (n, width, len(alphabet))."""
    def fetch_variants(
        self,
        names: _abc.Sequence[str] | _npt.NDArray[_Any],
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        *,
        width: int,
        rc: _Strands = None,
        onehot: bool = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
        out: tuple[_npt.NDArray[_Any], _npt.NDArray[_Any]] | None = None,
    ) -> tuple[_npt.NDArray[_Any], _npt.NDArray[_Any]]:
        """Reference and alternate windows of width around each variant (VCF POS, REF, ALT)."""
    @_overload
    def fetch_haplotypes(
        self,
        regions: _Regions | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        variant_offsets: _Ints,
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        width: None = None,
        rc: _Strands = None,
        onehot: _Literal[False] = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]: ...
    @_overload
    def fetch_haplotypes(
        self,
        regions: _Regions | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        variant_offsets: _Ints,
        positions: _Ints,
        refs: _Alleles,
        alts: _Alleles,
        width: int,
        rc: _Strands = None,
        onehot: bool = False,
        alphabet: str = "ACGT",
        dtype: _DType = "uint8",
        pad: str = "N",
        check_ref: bool = True,
    ) -> _npt.NDArray[_Any]: ...
    def fetch_ragged(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        rc: _Strands = None,
        upper: bool = False,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]:
        """All regions' bases back to back, and n + 1 offsets into them."""
    def fetch_qualities(
        self,
        regions: _Regions | None = None,
        *,
        names: _Names | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        phred: bool = True,
    ) -> tuple[_npt.NDArray[_np.uint8], _npt.NDArray[_np.int64]]:
        """FASTQ qualities of many regions back to back (Phred scores, or the characters), and n + 1 offsets."""
    def fetch_fastq(self, names: _abc.Sequence[str], width: int = 60) -> bytes:
        """Whole FASTQ reads as FASTQ text, as samtools fqidx prints them."""
    def fetch_fasta(
        self,
        regions: _abc.Sequence[tuple[str, int, int] | None] | None = None,
        heads: _abc.Sequence[str] | None = None,
        *,
        names: _abc.Sequence[str] | None = None,
        starts: _Ints | None = None,
        ends: _Ints | None = None,
        width: int = 0,
        sep: str = "\n",
        rc: _Strands = None,
        table: bytes | None = None,
    ) -> bytes:
        """Record text of many regions as one bytes object: heads[i], sep, then the bases in lines."""
    @_overload
    def fetch_bed(
        self,
        bed: bytes | _Path | _BinaryIO,
        *,
        head: str = ">{chrom}:{start}-{end}",
        sep: str = "\n",
        width: int = 0,
        stranded: bool = False,
        table: bytes | None = None,
        out: None = None,
        split: bool = False,
    ) -> bytes:
        """Record text of every line of a BED file, each under a header made from its fields."""
    @_overload
    def fetch_bed(
        self,
        bed: bytes | _Path | _BinaryIO,
        *,
        head: str = ">{chrom}:{start}-{end}",
        sep: str = "\n",
        width: int = 0,
        stranded: bool = False,
        table: bytes | None = None,
        out: _FileDescriptorLike,
        split: bool = False,
    ) -> None: ...
    @property
    def keys(self) -> list[str]: ...
    def __contains__(self, name: str, /) -> bool: ...
