import os
from typing import Callable, Iterable, Iterator, List, Literal, Optional, SupportsIndex, Tuple, Union, overload

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Ends = Literal["lf", "crlf"]

__version__: str

class Error(OSError):
    """A failure of the line reader; its message is the library's."""

class IndexedFile:
    """A text file in memory with a compact index of its lines."""

    def __init__(self, path: _Path, ends: _Ends = "lf", raw: bool = False) -> None: ...
    @staticmethod
    def from_bytes(data: bytes, ends: _Ends = "lf") -> IndexedFile: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> bytes: ...
    @overload
    def __getitem__(self, index: slice) -> list[bytes]: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __buffer__(self, flags: int) -> memoryview: ...
    def line(self, number: int) -> bytes:
        """Line `number`, from 1, without its line end."""
    def view(self, index: int) -> memoryview:
        """Line `index` (from 0) as a read-only view into the text; it keeps the file alive."""
    @property
    def longest_line(self) -> int: ...
    @property
    def longest_length(self) -> int: ...
    @property
    def index_bytes(self) -> int: ...

class FileIndex:
    """The line index of a file that stays on disk; lines are read from it when asked for.

    One object may be used from many threads: lookups run together, and each
    sees the index as it was before a refresh() or after it.
    """

    @staticmethod
    def build(
        path: _Path,
        ends: _Ends = "lf",
        threads: int = 0,
        progress: Optional[Callable[[int, int], Optional[bool]]] = None,
        raw: bool = False,
    ) -> FileIndex: ...
    @staticmethod
    def load(index_path: _Path, path: _Path, ends: _Ends = "lf", threads: int = 0, raw: bool = False) -> FileIndex: ...
    @staticmethod
    def cached(path: _Path, ends: _Ends = "lf", threads: int = 0, raw: bool = False) -> FileIndex:
        """The index that the lines program uses, from the user's cache: loaded while it describes the file, else built and saved there."""
    def save(self, index_path: _Path) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> bytes: ...
    @overload
    def __getitem__(self, index: slice) -> list[bytes]: ...
    def span(self, index: int) -> Tuple[int, int]:
        """(offset, length) of line `index` (from 0) in the file, its line end not counted."""
    def __iter__(self) -> Iterator[bytes]:
        """Every line in order, read about a MiB at a time."""
    def lines(self, indices: Union[Iterable[SupportsIndex], memoryview]) -> List[bytes]:
        """The lines at `indices` (from 0, negatives from the end; a list, a range, an array of integers), in the order asked, read in file order with nearby reads joined."""
    def read(self, start: Optional[int] = None, stop: Optional[int] = None) -> bytes:
        """Lines [start, stop) as one bytes, each with its line end as the file has it."""
    def spans(self, start: int = 0, stop: Optional[int] = None) -> Tuple[memoryview, memoryview]:
        """(offsets, lengths) of lines [start, stop): read-only buffers of unsigned 64-bit integers (numpy.frombuffer(..., dtype=numpy.uint64) takes them without a copy)."""
    def split(self, parts: int, by: Literal["lines", "bytes"] = "lines") -> List[Tuple[int, int, int, int]]:
        """`parts` parts covering every line once, as (first, stop, offset, length): of equal lines (within one), or of about equal bytes cut at line starts."""
    def sample(self, k: int, seed: Optional[int] = None) -> List[int]:
        """`k` distinct line indices chosen uniformly, in file order; the same for the same seed."""
    def __reduce__(self) -> Tuple[object, ...]:
        """Pickles as its file's path and its saved form; unpickling checks the file as load() does (Error when it changed)."""
    def refresh(self) -> Literal["none", "appended", "replaced"]:
        """Indexes what was appended, or the file anew; RuntimeError from its own progress callback."""
    @property
    def longest_line(self) -> int: ...
    @property
    def longest_length(self) -> int: ...
    @property
    def index_bytes(self) -> int: ...
    @property
    def indexed_bytes(self) -> int:
        """Bytes of text indexed: of a compressed file, its decoded text."""
    @property
    def compression(self) -> Literal["", "gzip", "zstd", "xz"]:
        """The form the file's text was decoded from; "" for a plain file or one read raw."""
