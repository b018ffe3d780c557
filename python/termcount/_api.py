"""Terms and Counts: the package's API over its compiled core.

Every signature, default and argument check is here; the core
(_termcount) holds the buffers, releases the GIL, runs the counts and
stores the counts. Whatever runs Python code of the caller's (a generator
of terms or texts, a glob, an import) runs here, before the core is
called, since a daemon thread may be ended at exit anywhere in Python code
but not inside the core's frames.
"""
from __future__ import annotations

import array
import contextlib
import glob as _glob
import importlib
import operator
import os
import sys
from typing import (TYPE_CHECKING, Any, Callable, Iterable, Iterator, Literal, Optional,
                    Protocol, SupportsIndex, TypeVar, Union, overload)

from . import _termcount

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, StrOrBytesPath

__all__ = ["Counts", "Terms"]

Mode = Literal["any", "word", "line"]
Text = Union["ReadableBuffer", str]
# A callable given (done, total) now and then, True for a tqdm bar, or None.
Progress = Union[Callable[[int, int], object], bool, None]
Paths = Union["StrOrBytesPath", Iterable["StrOrBytesPath"]]
Tell = Optional[Callable[[int, int], object]]
T = TypeVar("T")

MODES = {"any": 0, "word": 1, "line": 2}

# The compressions a file count reads, by the names Dask (fsspec) gives
# them, with the core's numbers and the suffixes "infer" knows them by.
COMPRESSIONS = {None: 0, "gzip": 1, "bz2": 2, "xz": 3, "zstd": 4}
SUFFIXES = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}
_MODE_NAMES = {v: k for k, v in MODES.items()}

# A thread's piece of a text with threads=N is at least this, as a smaller
# one costs more in starting its thread than it saves; threads=None takes
# one thread per MiB.
_MIN_PIECE = 64 << 10
_PER_THREAD = 1 << 20
# What count_stream asks a file's read() for at a time, and the most of a
# chunk it scans at a time.
_READ_SIZE = 1 << 20
_SLICE = 16 << 20
# Why the core refuses an item of a list (Refused's second argument).
_NOT_TEXT, _EMPTY_TERM, _LINE_FEED_IN_TERM = range(3)


class _Reader(Protocol):
    def read(self, size: int = ..., /) -> ReadableBuffer: ...


def mode_number(mode: object) -> int:
    """The core's number for a mode name, or the TypeError or ValueError
    that says which names there are."""
    if not isinstance(mode, str):
        raise TypeError("mode must be a str: 'any', 'word' or 'line', not "
                        f"{type(mode).__name__}")
    number = MODES.get(mode)
    if number is None:
        raise ValueError(f"mode must be 'any', 'word' or 'line', not {mode!r}")
    return number


def compression_number(compression: object, path: Union[str, bytes]) -> int:
    """The core's number for how the file at path is compressed:
    compression "infer" goes by its suffix."""
    if compression == "infer":
        suffix = os.path.splitext(os.fsdecode(path))[1]
        return COMPRESSIONS[SUFFIXES.get(suffix)]
    number = COMPRESSIONS.get(compression) if isinstance(compression, (str, type(None))) else None
    if number is None:
        known = ", ".join(repr(c) for c in COMPRESSIONS if c is not None)
        raise ValueError(f"compression must be 'infer', None or one of {known}, "
                         f"not {compression!r}")
    return number


def usable_cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def threads_for(threads: object) -> tuple[int, int]:
    """(threads, least bytes per thread) for a count's threads argument:
    None takes the usable cores, one per MiB; N takes up to N, and never
    more than the usable cores, since a thread beyond them adds only its
    counters (8 bytes per state of the index) and its switches."""
    if threads is None:
        return usable_cores(), _PER_THREAD
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be 1 or more, not {threads}")
    return min(threads, usable_cores()), _MIN_PIECE


def need(name: str, what: str, debian: str, pip: str) -> Any:
    """The module `name`, imported for `what`; an ImportError that says how
    to install it when it is missing, and that keeps its own cause when it
    is there but fails to load."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as e:
        if e.name is not None and (name == e.name or name.startswith(e.name + ".")):
            raise ImportError(f"{what} needs {pip}: apt-get install {debian}, "
                              f"or pip install {pip}") from e
        raise ImportError(f"{what} needs {pip}, which failed to load: {e}") from e
    except ImportError as e:
        raise ImportError(f"{what} needs {pip}, which failed to load: {e}") from e


def _is_one_text(obj: object) -> bool:
    """Whether obj is one text (a str, or a buffer of bytes) rather than an
    iterable of them, as a NumPy array of str or objects is."""
    if isinstance(obj, str):
        return True
    try:
        view = memoryview(obj)  # type: ignore[arg-type]
    except TypeError:
        return False
    with view:
        return view.itemsize == 1 and view.ndim <= 1


def _listed(items: Iterable[T], what: str, example: str) -> list[T]:
    if _is_one_text(items):
        raise TypeError(f"{what} takes an iterable of {example}s, not a single "
                        f"{example}: {what}([{example}])")
    return items if isinstance(items, list) else list(items)


def expand_paths(paths: object) -> list[Union[str, bytes]]:
    """The files that a path or glob, or each of an iterable of them, means,
    in order. A path that exists is that file; otherwise it is a glob by
    Python's glob rules: its matches sorted, a hidden file matched only by a
    pattern that starts with a dot. A directory, or a pattern that matches
    nothing, raises an OSError naming it."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    elif not _iterable(paths):
        raise TypeError("paths must be a path, a glob or an iterable of them, not "
                        f"{type(paths).__name__}")
    found: list[Union[str, bytes]] = []
    for given in paths:  # type: ignore[attr-defined]
        path = os.fspath(given)
        if os.path.lexists(path) or not _glob.has_magic(path):
            matched = [path]
        else:
            matched = sorted(_glob.glob(path))
            if not matched:
                raise FileNotFoundError(2, "no files match the pattern", path)
        for p in matched:
            if os.path.isdir(p):
                raise IsADirectoryError(21, os.strerror(21), p)
        found += matched
    return found


def _iterable(obj: object) -> bool:
    try:
        iter(obj)  # type: ignore[call-overload]
    except TypeError:
        return False
    return True


def _read_whole(name: Union[str, bytes]) -> bytes:
    """The bytes of the file at name. os.open and os.read run the signal
    handlers when a signal cuts their wait short, so Ctrl-C stops a wait
    for a pipe's writer or its bytes. An OSError names the file, and its
    `opening` tells a file that could not be opened from one that could
    not be read."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        e.opening = True  # type: ignore[attr-defined]
        raise
    chunks = []
    try:
        while chunk := os.read(fd, _READ_SIZE):
            chunks.append(chunk)
    except OSError as e:
        failed = OSError(e.errno, e.strerror, name)
        failed.opening = False  # type: ignore[attr-defined]
        raise failed from None
    finally:
        os.close(fd)
    return b"".join(chunks)


class _Told:
    """A count's progress as the caller asked for it: a callable given
    (done, total), or a tqdm bar, made at the first report. The last call
    of a count that succeeds is (total, total)."""

    def __init__(self, progress: Progress, unit: str) -> None:
        self.bar: Any = None
        self.shown = self.done = self.total = 0
        self.unit = unit
        self.report: Callable[[int, int], object]
        if progress is True:
            self.tqdm = need("tqdm", "progress=True", "python3-tqdm", "tqdm").tqdm
            self.report = self._to_bar
        elif callable(progress):
            self.report = progress
        else:
            raise TypeError("progress must be a callable taking (done, total), True "
                            f"for a tqdm bar, or None, not {type(progress).__name__}")

    def __call__(self, done: int, total: int) -> None:
        self.done, self.total = done, total
        self.report(done, total)

    def _to_bar(self, done: int, total: int) -> None:
        if self.bar is None:
            self.bar = self.tqdm(total=total or None, unit=self.unit, unit_scale=True)
        if done > self.shown:
            self.bar.update(done - self.shown)
            self.shown = done

    def finish(self) -> None:
        if self.total and self.done != self.total:
            self(self.total, self.total)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _counted(progress: Progress, unit: str, count: Callable[[Tell], T]) -> T:
    """count(tell), with tell None when nobody listens."""
    if progress is None or progress is False:
        return count(None)
    told = _Told(progress, unit)
    try:
        result = count(told)
        told.finish()
        return result
    finally:
        told.close()


def _why_not_text(obj: object, what: str, str_allowed: bool) -> str:
    """What is wrong with obj, named `what`, as a text: the core reads a
    str (if `str_allowed`) or a C-contiguous buffer of bytes."""
    try:
        view = memoryview(obj) if not isinstance(obj, str) else None  # type: ignore[arg-type]
    except TypeError:
        view = None
    if view is None:
        return (f"{what} must be bytes-like{' or str' if str_allowed else ''}, "
                f"not {type(obj).__name__}")
    with view:
        if not view.c_contiguous:
            return f"{what} must be a C-contiguous buffer: bytes(...) gives a copy that is"
        return (f"{what} must be a buffer of bytes, not of items of format "
                f"'{view.format}' ({view.itemsize} bytes each): .tobytes() gives its raw bytes")


@contextlib.contextmanager
def _naming(items: list[Any], what: str, str_allowed: bool = True) -> Iterator[None]:
    """Names the item of `items` that the core refuses, as what.format(its
    index), in the exception that says why: a TypeError for what is no
    text, a ValueError for a term that is empty or holds a line feed, a
    UnicodeEncodeError for a str with no UTF-8 form (a lone surrogate)."""
    try:
        yield
    except _termcount.Refused as e:
        index, why = e.args
        name = what.format(index)
        if why == _NOT_TEXT:
            raise TypeError(_why_not_text(items[index], name, str_allowed)) from None
        raise ValueError(f"{name} is empty" if why == _EMPTY_TERM else
                         f"{name} holds a line feed: a term is one line") from None
    except UnicodeEncodeError as e:
        for i, item in enumerate(items):
            if isinstance(item, str) and item == e.object:
                raise UnicodeEncodeError(e.encoding, e.object, e.start, e.end,
                                         f"{what.format(i)} is a str with no UTF-8 form"
                                         ) from None
        raise


def _fed(stream: _termcount.Stream, chunk: object) -> int:
    """Feeds chunk to stream a slice at a time, so that Ctrl-C stops the
    scan of a long chunk between two slices; returns its size. A chunk is
    bytes-like: a str has no one encoding in a stream of bytes."""
    if isinstance(chunk, str):
        raise TypeError("a chunk must be bytes-like, not str")
    with _naming([chunk], "a chunk", str_allowed=False):
        size = stream.feed(chunk, 0, _SLICE)
    for at in range(_SLICE, size, _SLICE):
        stream.feed(chunk, at, _SLICE)
    return size


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


class Counts(_termcount.Counts):
    """The counts of one text: one count per term, in the order of the term
    list, zeros included, as the termcount program reports them.

    A value: len(), indexing (negative too), iteration, == and + (of counts
    of equal term lists in one mode, so that sum() of the counts of a text's
    pieces gives the counts of the whole text; counts of another mode or
    case rule raise ValueError). memoryview(c) and numpy.asarray(c) see the
    counts as unsigned 64-bit integers without a copy. Counts pickle.
    """

    __slots__ = ()

    @property
    def mode(self) -> Mode:
        """The mode the text was counted in."""
        return _MODE_NAMES[self._kind & 3]  # type: ignore[return-value]

    @property
    def ignore_case(self) -> bool:
        """Whether ASCII letters matched either case."""
        return bool(self._kind & _termcount.KIND_IGNORE_CASE)

    def __len__(self) -> int:
        return len(self.terms)

    def __getitem__(self, index: SupportsIndex) -> int:
        if isinstance(index, (str, bytes)):
            raise TypeError("Counts are indexed by position in the term list; look a "
                            "term up in to_dict()")
        if not hasattr(type(index), "__index__"):
            raise TypeError(f"Counts indices must be integers, not {type(index).__name__}")
        try:
            return int(memoryview(self)[operator.index(index)])
        except IndexError:
            raise IndexError("Counts index out of range") from None

    def __iter__(self) -> Iterator[int]:
        return iter(memoryview(self).tolist())

    def __add__(self, other: Union[_termcount.Counts, int]) -> Counts:
        # 0 as well, the start of sum().
        plus: Optional[_termcount.Counts] = None
        if isinstance(other, int) and other == 0:
            pass
        elif not isinstance(other, _termcount.Counts):
            return NotImplemented
        elif not (self.terms is other.terms or self.terms == other.terms):
            raise ValueError("cannot add Counts of different term lists")
        elif self._kind != other._kind:
            raise ValueError("cannot add Counts of different modes or of ignore_case "
                             "and not: their sum counts nothing")
        else:
            plus = other
        return _termcount._counts(self.terms, memoryview(self).tobytes(),  # type: ignore
                                  self._kind, plus)

    __radd__ = __add__

    def __reduce__(self) -> tuple[Callable[..., Counts], tuple[tuple[bytes, ...], bytes, int]]:
        # Restored by a function that pickle finds by name, the counts
        # packed as little-endian 64-bit words on every machine.
        return _counts, (self.terms, _little_endian(memoryview(self)), self._kind)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, _termcount.Counts):
            return NotImplemented
        return (self._kind == other._kind and self.terms == other.terms
                and memoryview(self) == memoryview(other))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<termcount.Counts of {len(self)} terms, {sum(self)} occurrences>"

    def report(self) -> bytes:
        """The report the termcount program prints for the same terms and
        text, byte for byte: one b"COUNT TERM\\n" line per term, in list
        order."""
        return b"".join(b"%d %s\n" % pair for pair in zip(self, self.terms))

    @overload
    def to_dict(self, decode: Literal[False] = False) -> dict[bytes, int]: ...
    @overload
    def to_dict(self, decode: Literal[True]) -> dict[str, int]: ...
    @overload
    def to_dict(self, decode: bool) -> Union[dict[bytes, int], dict[str, int]]: ...

    def to_dict(self, decode: bool = False) -> Union[dict[bytes, int], dict[str, int]]:
        """{term: count}. A term listed twice keeps the count of its last
        listing, the one the count goes to. With decode=True the keys are
        str, the terms decoded as UTF-8: a term that is not raises
        UnicodeDecodeError naming it."""
        if not _flag(decode, "decode"):
            return dict(zip(self.terms, self))
        keys = []
        for i, t in enumerate(self.terms):
            try:
                keys.append(t.decode("utf-8"))
            except UnicodeDecodeError as e:
                raise UnicodeDecodeError("utf-8", t, e.start, e.end,
                                         f"term {i}, {t!r}, is not UTF-8") from None
        return dict(zip(keys, self))

    def to_pandas(self) -> Any:
        """A pandas.Series of the counts, uint64, indexed by term (bytes) in
        list order, duplicates kept. Needs pandas."""
        pandas = need("pandas", "to_pandas()", "python3-pandas", "pandas")
        return pandas.Series(list(self), index=list(self.terms), dtype="uint64")

    def most_common(self, n: Optional[SupportsIndex] = None) -> list[tuple[bytes, int]]:
        """[(term, count), ...] by count, largest first, as to_dict() holds
        them; ties keep the order in which the terms are first listed. With
        n, only the first n pairs."""
        pairs = sorted(self.to_dict().items(), key=operator.itemgetter(1), reverse=True)
        return pairs if n is None else pairs[:max(operator.index(n), 0)]


_termcount._set_counts_class(Counts)


def _little_endian(words: memoryview) -> bytes:
    """The 64-bit words as little-endian bytes; the same bytes back from
    them on this machine."""
    if sys.byteorder == "little":
        return words.tobytes()
    swapped = array.array("Q", words)
    swapped.byteswap()
    return swapped.tobytes()


def _counts(terms: tuple[bytes, ...], packed: bytes, kind: int) -> Counts:
    """Counts from their pickled state, which Counts.__reduce__ gives: the
    terms, the counts as little-endian 64-bit words, and the kind."""
    if not (isinstance(terms, tuple) and all(type(t) is bytes for t in terms)
            and isinstance(packed, bytes) and len(packed) == 8 * len(terms)
            and isinstance(kind, int) and kind & ~_termcount.KIND_IGNORE_CASE in MODES.values()):
        raise ValueError("not a pickled Counts")
    native = _little_endian(memoryview(packed).cast("Q"))
    return _termcount._counts(terms, native, kind)  # type: ignore[return-value]


class Terms:
    """A list of terms and the index over it: compiled once for each mode,
    when a count first asks for it, and counted any number of times, from
    any number of threads at once.

    Terms(terms) takes an iterable whose items are each one term:
    bytes-like, or str as UTF-8 (a list, a generator, a NumPy array of str
    or objects). A term may hold any bytes but a line feed, and may not be
    empty. Terms.from_file(path) reads a search file by the termcount
    program's rules. A term listed twice is counted under its last listing;
    earlier listings count 0. With ignore_case=True, ASCII letters match
    either case and nothing else changes: terms that differ only in case
    are one term listed twice.

    Every count releases the GIL while it scans, and Ctrl-C interrupts it.
    threads=None, in every count, takes one thread per MiB of text, up to
    the cores this process may run on; threads=N takes up to N, and never
    more than those cores, so that a count's memory stays about its threads
    times the index. progress, where a count takes it, is a callable called
    now and then on the calling thread with (done, total) (bytes, or texts
    for count_each; total 0 when not known ahead), last with (total, total)
    when the count succeeds; or True for a tqdm bar. Terms pickle as their
    term list and ignore_case, and the index is built anew on load.
    """

    __slots__ = ("_index",)

    def __init__(self, terms: Iterable[Text], ignore_case: bool = False) -> None:
        flags = _termcount.IGNORE_CASE if _flag(ignore_case, "ignore_case") else 0
        items = _listed(terms, "Terms", "term")
        with _naming(items, "term {}"):
            self._index = _termcount.Index(items, flags)

    @classmethod
    def from_file(cls, path: StrOrBytesPath, ignore_case: bool = False) -> Terms:
        """Reads the terms of a search file, as the termcount program does:
        one term per line, the line feed dropped, empty lines skipped, a NUL
        ending a term, a carriage return kept, a line read in pieces of at
        most 1,048,575 bytes. path is a str, bytes or os.PathLike. Raises
        OSError (with errno and filename) when the file cannot be opened or
        read, MemoryError when the terms cannot be held. The index is
        compiled when a count first asks for it."""
        flags = _termcount.IGNORE_CASE if _flag(ignore_case, "ignore_case") else 0
        data = _read_whole(os.fspath(path))
        self = cls.__new__(cls)
        self._index = _termcount.Index.parse(data, flags)
        return self

    def __len__(self) -> int:
        return len(self._index)

    @property
    def terms(self) -> tuple[bytes, ...]:
        """The terms, a tuple of bytes in list order, duplicates kept."""
        return self._index.terms

    @property
    def ignore_case(self) -> bool:
        """Whether ASCII letters match either case."""
        return bool(self._index.flags & _termcount.IGNORE_CASE)

    def __repr__(self) -> str:
        return f"<termcount.Terms of {len(self)} terms>"

    def __reduce__(self) -> tuple[type[Terms], tuple[tuple[bytes, ...], bool]]:
        return (type(self), (self.terms, self.ignore_case))

    def count(self, text: Text, mode: Mode = "any", threads: Optional[int] = None) -> Counts:
        """Counts the terms in text: bytes-like (bytes, bytearray, memoryview,
        mmap, array) or str, as UTF-8. mode is "any" (every occurrence,
        overlapping ones too), "word" (whole words) or "line" (whole lines).
        The text is cut right after line feeds into pieces counted at once,
        with the same result: threads as the class says, each thread with
        at least 64 KiB. Returns Counts equal to what the termcount program
        reports for the same bytes."""
        number = mode_number(mode)
        n, least = threads_for(threads)
        with _naming([text], "text"):
            return self._index.count(text, number, n, least)  # type: ignore[return-value]

    def count_file(self, path: StrOrBytesPath, mode: Mode = "any",
                   threads: Optional[int] = None, progress: Progress = None,
                   compression: Optional[str] = "infer") -> Counts:
        """Counts the terms in the file at path (str, bytes or os.PathLike),
        read in blocks, never whole; threads as for count(), each thread
        reading its own piece of the file; progress as the class says. A pipe or other file that cannot
        be read at offsets is read on one thread. A file that grows
        meanwhile is counted up to where its last piece meets the end; one
        that shrinks raises OSError (EIO). Raises OSError (with errno and
        filename) when the file cannot be opened or read.

        compression "infer", the default, counts the text of a file whose
        name ends in .gz, .bz2, .xz or .zst, decompressed on one thread as it
        is read; "gzip", "bz2", "xz" or "zstd" decompresses the file so
        whatever its name; None counts its bytes as they are. A compressed
        file that is empty or ends inside its stream raises EOFError naming
        it, one whose data is not of the format OSError (EBADMSG): never
        the counts of part of its text."""
        number = mode_number(mode)
        n, least = threads_for(threads)
        name = os.fspath(path)
        encoded = os.fsencode(name)
        format = compression_number(compression, name)
        return _counted(progress, "B", lambda tell: self._index.count_files(  # type: ignore
            [encoded], [name], [format], number, n, least, tell))

    def count_files(self, paths: Paths, mode: Mode = "any", threads: Optional[int] = None,
                    progress: Progress = None, compression: Optional[str] = "infer") -> Counts:
        """The sum of count_file() over many files: paths is a path, a glob,
        or an iterable of them. A path that exists is that file; otherwise
        it is a glob by Python's glob rules, its matches in sorted order
        (hidden files only for a pattern that starts with a dot). A
        directory, or a glob that matches nothing, raises OSError naming it.
        The files are spread over the threads, each read whole by one;
        compression as for count_file(), file by file. Raises OSError naming
        the file that could not be opened or read."""
        number = mode_number(mode)
        n, _ = threads_for(threads)
        compression_number(compression, "")
        names = expand_paths(paths)
        encoded = [os.fsencode(p) for p in names]
        formats = [compression_number(compression, p) for p in names]
        return _counted(progress, "B", lambda tell: self._index.count_files(  # type: ignore
            encoded, names, formats, number, n, 0, tell))

    def count_stream(self, source: Union[_Reader, Iterable[ReadableBuffer]],
                     mode: Mode = "any") -> Counts:
        """Counts the terms in a stream, on one thread: a binary file object,
        read in blocks until read() returns b"", or an iterable of
        bytes-like chunks. The chunks are one text, as if joined: a term may
        span two of them. An exception raised by the source propagates
        unchanged."""
        number = mode_number(mode)
        stream = _termcount.Stream(self._index, number)
        read = getattr(source, "read", None)
        if read is None:
            for chunk in source:  # type: ignore[union-attr]
                _fed(stream, chunk)
        else:
            while True:
                chunk = read(_READ_SIZE)
                if isinstance(chunk, str):
                    raise TypeError("count_stream needs a binary file: read() returned str")
                if _fed(stream, chunk) == 0:
                    break
        return stream.finish()  # type: ignore[return-value]

    def count_each(self, texts: Iterable[Text], mode: Mode = "any",
                   threads: Optional[int] = None, progress: Progress = None) -> Any:
        """Counts each text of an iterable (bytes-like or str items: a list,
        a tuple, a generator, a pandas Series, a NumPy array of str or
        objects) as a text of its own, and returns a scipy.sparse.csr_matrix
        of shape (texts, terms), dtype uint64, zeros left out: row i equals
        count(texts[i], mode). The threads split the texts. A text of the
        wrong type raises TypeError naming its index, before anything is
        counted. Needs SciPy (which ships no types that mypy reads)."""
        number = mode_number(mode)
        n, _ = threads_for(threads)
        items = _listed(texts, "count_each", "text")
        sparse = need("scipy.sparse", "count_each", "python3-scipy", "scipy")
        import numpy  # SciPy's own
        with _naming(items, "texts[{}]"):
            counts, entries, starts = _counted(progress, "doc", lambda tell: (
                self._index.count_each(items, number, n, threads is None, tell)))
        arrays = (numpy.frombuffer(counts, numpy.uint64),
                  numpy.frombuffer(entries, numpy.uint32).astype(numpy.int64),
                  numpy.frombuffer(starts, numpy.uintp).astype(numpy.int64))
        return sparse.csr_matrix(arrays, shape=(len(items), len(self)), dtype="uint64")
