"""Exact counts over many files, and per document, on a Dask cluster.

::

    from dask.distributed import Client
    import termcount, termcount.dask

    client = Client("tcp://scheduler:8786")
    terms = termcount.Terms.from_file("terms.txt")
    counts = termcount.dask.count_files("/data/logs/*.log", terms, mode="word")

count_files reads each file in blocks cut right after line feeds, one task
per block (a compressed file, which cannot be cut, is one task), and adds
the per-block counts up in a tree. Counts add up exactly over such blocks,
so the result is the sum, over the files, of one termcount run per file.
Every block checks that its file is still the one planned, so a file that
changes during a count makes it fail rather than come out mixed.
count_each counts every document of a bag or a Series on its own, partition
by partition. Each worker process builds the index of a term list once and
keeps it for every task and every later count of the same list.
"""
import bisect
import contextlib
import errno
import hashlib
import itertools
import lzma
import operator
import os
import stat
import sys
import threading
import zlib
from collections import OrderedDict
from typing import Any, Optional, Sequence, Tuple, Union

try:
    import dask
    import dask.bag
    from dask.utils import parse_bytes
    from fsspec.compression import compr
    from fsspec.core import get_fs_token_paths
    from fsspec.implementations.local import LocalFileSystem
    from fsspec.utils import infer_compression, read_block
except ImportError as e:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "termcount.dask needs Dask, and distributed for a cluster, in this "
        "Python's environment: 'pip install dask distributed' (a venv, pyenv "
        "or conda Python), or 'apt-get install python3-dask "
        "python3-distributed' for Debian's python3") from e

from . import Counts, Terms, _termcount
from ._api import expand_paths, mode_number, need

__all__ = ["count_files", "count_each", "MIN_BLOCKSIZE"]

# How many per-task results one task of the reduction combines.
FAN_IN = 8

# Every block costs a task: its scheduling, a term list to fetch and a seek
# for the next line feed, which outweigh counting a block smaller than this.
MIN_BLOCKSIZE = 64 << 10

# The indexes this process has built, by the digest of their term list: a
# worker keeps the last few lists it counted, so that neither a task nor a
# later count of the same list builds its index again.
_KEEP = 4
_indexes: "OrderedDict[str, Terms]" = OrderedDict()
_lock = threading.Lock()

# A term list as the tasks receive it: its digest, its terms each ended by
# a line feed (which no term holds), whether case is ignored, and how many
# lists a worker should keep for the count it is sent for (its slices).
TermList = Tuple[str, bytes, bool, int]


def _digest(terms: Tuple[bytes, ...], ignore_case: bool) -> str:
    h = hashlib.blake2b(digest_size=20)
    h.update(b"i" if ignore_case else b"c")
    for t in terms:
        h.update(len(t).to_bytes(8, "little"))
        h.update(t)
    return h.hexdigest()


def _remember(digest: str, terms: Terms, keep: int = _KEEP) -> None:
    _indexes[digest] = terms
    _indexes.move_to_end(digest)
    while len(_indexes) > max(keep, _KEEP):
        _indexes.popitem(last=False)


def _index(digest: str, listed: bytes, ignore_case: bool, keep: int) -> Terms:
    """The index of a term list, built here at most once."""
    with _lock:
        index = _indexes.get(digest)
        if index is None:
            index = Terms(listed.split(b"\n")[:-1], ignore_case=ignore_case)
        _remember(digest, index, keep)
        return index


def _term_list(terms: Terms, keep: int = 1) -> Any:
    """The delayed term list of terms."""
    digest = _digest(terms.terms, terms.ignore_case)
    with _lock:
        # A local scheduler counts with the caller's index.
        _remember(digest, terms, keep)
    # One key for the term list, which each worker fetches once, rather
    # than a copy in every task; one bytes object, which Dask does not walk
    # item by item as it would a tuple of a million terms.
    listed = b"".join(t + b"\n" for t in terms.terms)
    return dask.delayed((digest, listed, terms.ignore_case, keep),
                        name=f"termcount-terms-{digest}", traverse=False)


def _checked(terms: Terms, mode: str) -> None:
    if not isinstance(terms, Terms):
        raise TypeError(f"terms must be a termcount.Terms, not {type(terms).__name__}")
    mode_number(mode)  # refuses a bad mode before anything runs or compiles


def _slice_count(slices: object) -> int:
    if isinstance(slices, bool) or not isinstance(slices, int):
        raise TypeError(f"slices must be an int, not {type(slices).__name__}")
    if slices < 1:
        raise ValueError(f"slices must be 1 or more, not {slices}")
    return slices


def _bounds(terms: Tuple[bytes, ...], slices: int) -> list:
    """Where each slice of the list starts and ends: runs of about equal
    bytes, in list order, none empty."""
    slices = max(1, min(slices, len(terms)))
    ends = list(itertools.accumulate(len(t) + 1 for t in terms))
    total = ends[-1] if ends else 0
    starts = [0]
    for k in range(1, slices):
        at = bisect.bisect_left(ends, total * k // slices)
        starts.append(min(max(at, starts[-1] + 1), len(terms) - (slices - k)))
    return list(zip(starts, starts[1:] + [len(terms)]))


def _shadowed(terms: Tuple[bytes, ...], ignore_case: bool) -> Tuple[int, ...]:
    """The listings that a later listing of the same term takes the count
    from, as in one list; those within one slice its own index zeroes,
    those across slices the join does."""
    last = {}
    for i, t in enumerate(terms):
        last[t.lower() if ignore_case else t] = i
    return tuple(i for i, t in enumerate(terms)
                 if last[t.lower() if ignore_case else t] != i)


class _Slices:
    """A term list cut into slices, each with its delayed term list and
    the worker its tasks go to: each worker then builds and keeps the index
    of its own slices only. One slice is the whole list, placed nowhere."""

    def __init__(self, terms: Terms, slices: int, client: Any) -> None:
        listed = terms.terms
        self.bounds = _bounds(listed, slices)
        workers = _workers(client) if len(self.bounds) > 1 else []
        keep = -(-len(self.bounds) // max(len(workers), 1))
        self.lists = [terms] if len(self.bounds) == 1 else [
            Terms(listed[a:b], ignore_case=terms.ignore_case) for a, b in self.bounds]
        self.workers = [workers[k % len(workers)] if workers else None
                        for k in range(len(self.bounds))]
        self.shadowed = _shadowed(listed, terms.ignore_case) if len(self.bounds) > 1 else ()
        self.term_lists = []
        for k, part in enumerate(self.lists):
            with self.placed(k):
                self.term_lists.append(_term_list(part, keep))

    def placed(self, k: int) -> Any:
        """The annotation that sends slice k's tasks to its worker, or to
        another should that one be lost."""
        if self.workers[k] is None:
            return contextlib.nullcontext()
        return dask.annotate(workers=[self.workers[k]], allow_other_workers=True)


def _workers(client: Any) -> list:
    """The addresses of the workers a count is to run on, in a fixed order:
    client's, or the current client's; none for a local scheduler."""
    if client is None:
        distributed = sys.modules.get("distributed")
        try:
            client = distributed.default_client() if distributed else None
        except ValueError:
            client = None
    if client is None:
        return []
    return sorted(client.scheduler_info()["workers"])


def _join(shadowed: Tuple[int, ...], *parts: Counts) -> Counts:
    """The counts of the whole list from those of its slices, in order."""
    if len(parts) == 1:
        return parts[0]
    packed = bytearray(b"".join(memoryview(c).cast("B") for c in parts))
    view = memoryview(packed).cast("Q")
    for i in shadowed:
        view[i] = 0
    terms = tuple(itertools.chain.from_iterable(c.terms for c in parts))
    return _termcount._counts(terms, bytes(packed), parts[0]._kind)  # type: ignore


def _join_rows(shadowed: Tuple[int, ...], *parts: Any) -> Any:
    """A partition's matrix of the whole list from its slices'."""
    if len(parts) == 1:
        return parts[0]
    import numpy
    import scipy.sparse
    rows = scipy.sparse.hstack(parts, format="csr", dtype=numpy.uint64)
    if shadowed:
        keep = numpy.ones(rows.shape[1], dtype=numpy.uint64)
        keep[list(shadowed)] = 0
        rows = scipy.sparse.csr_matrix(rows.multiply(keep), dtype=numpy.uint64)
        rows.eliminate_zeros()
    return rows


def _check_client(client: Any) -> None:
    # A Client exists only where distributed has been imported already.
    distributed = sys.modules.get("distributed")
    if client is None or (distributed is not None and isinstance(client, distributed.Client)):
        return
    raise TypeError(f"client must be a distributed.Client or None, not {type(client).__name__}")


def _blocksize(blocksize: Union[int, str]) -> int:
    if isinstance(blocksize, str):
        try:
            size: Optional[int] = parse_bytes(blocksize)
        except ValueError:
            size = None
    elif isinstance(blocksize, bool):
        raise TypeError("blocksize must be an int or a str such as \"64MiB\", not bool")
    else:
        try:
            size = operator.index(blocksize)
        except TypeError:
            raise TypeError("blocksize must be an int or a str such as \"64MiB\", "
                            f"not {type(blocksize).__name__}") from None
    if size is None or size < MIN_BLOCKSIZE:
        raise ValueError("blocksize must be a number of bytes of at least 64 KiB (65536), "
                         f"such as 1 << 20 or \"64MiB\", not {blocksize!r}")
    return size


def _compression(path: str, compression: Optional[str]) -> Optional[str]:
    if compression == "infer":
        return infer_compression(path)
    if compression is not None and compression not in compr:
        known = ", ".join(repr(c) for c in compr if c is not None)
        raise ValueError(f"compression must be 'infer', None or one of {known}, "
                         f"not {compression!r}")
    return compression


def _stamp(fs: Any, path: str, opened: Any = None) -> Tuple[Any, ...]:
    """What tells this version of a file from a later one: its size and
    modification time, taken from the open file where it is a local one,
    so that the version checked is the version read."""
    if isinstance(fs, LocalFileSystem):
        st = os.fstat(opened.fileno()) if opened is not None else os.stat(path)
        return st.st_size, st.st_mtime_ns
    return fs.size(path), fs.ukey(path)


def _plan(fs: Any, path: str, compression: Optional[str], blocksize: int) -> Tuple[Any, list]:
    """A file's stamp and its blocks, (offset, length) each. Every file has
    a block, an empty one too, so that every file is checked."""
    if fs.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if isinstance(fs, LocalFileSystem) and not stat.S_ISREG(os.stat(path).st_mode):
        # A pipe or a device can be neither cut in blocks nor checked.
        raise OSError(errno.ESPIPE, "not a regular file, which blocks are read from", path)
    stamp = _stamp(fs, path)
    if compression is not None:
        return stamp, [(0, None)]
    size = stamp[0]
    return stamp, [(at, min(blocksize, size - at)) for at in range(0, max(size, 1), blocksize)]


def _open(fs: Any, path: str) -> Any:
    try:
        return fs.open(path, "rb")
    except OSError as e:
        if e.filename is None:
            e.filename = path
        raise


def _count_block(fs: Any, path: str, stamp: Tuple[Any, ...], block: Tuple[int, Optional[int]],
                 compression: Optional[str], term_list: TermList, mode: str) -> Counts:
    """The counts of one block, from the line feed at or after its offset
    to the first one at or after its end. Dask runs a task on each worker
    thread, so a task counts on one."""
    terms = _index(*term_list)
    with _open(fs, path) as raw:
        try:
            if compression is None:
                counts = terms.count(read_block(raw, *block, delimiter=b"\n"), mode, threads=1)
            else:
                counts = _count_compressed(raw, path, stamp, compression, terms, mode)
        finally:
            # Checked after the read, and after a failed one too: a file
            # that changed explains a compressed stream cut short.
            if _stamp(fs, path, raw) != stamp:
                raise OSError(errno.ESTALE, "file changed while it was being counted", path)
    return counts


# What a decompressor raises for data that is not of its format or that
# is cut short: gzip's BadGzipFile and bz2's are OSErrors without an errno.
_CORRUPT = (EOFError, lzma.LZMAError, zlib.error)


def _count_compressed(raw: Any, path: str, stamp: Tuple[Any, ...], compression: str,
                      terms: Terms, mode: str) -> Counts:
    """The counts of a compressed file's text; an empty or corrupt file, or
    one cut short, raises naming the file, as no count of part of a text
    may pass for the count of all of it."""
    if stamp[0] == 0:
        raise EOFError(f"{path}: an empty file is no {compression} stream")
    try:
        with compr[compression](raw, mode="rb") as text:
            return terms.count_stream(text, mode)
    except OSError as e:
        if e.errno is not None:
            raise
        raise OSError(errno.EIO, f"not {compression} data, or corrupt: {e}", path) from e
    except _CORRUPT as e:
        raise type(e)(f"{path}: not {compression} data, or cut short: {e}") from e


def _add(*counts: Counts) -> Counts:
    return sum(counts[1:], counts[0])


def _count_part(part: Any, number: int, term_list: TermList, mode: str) -> Any:
    # A bag's partition may be an iterator, and a Series' is a pandas Series.
    docs = part if isinstance(part, list) else list(part)
    # A bad document named by its index within the partition, which alone
    # would mislead, and by the partition.
    where = f"in partition {number} of the documents"
    try:
        return _index(*term_list).count_each(docs, mode, threads=1)
    except UnicodeEncodeError as e:
        raise UnicodeEncodeError(e.encoding, e.object, e.start, e.end,
                                 f"{where}: {e.reason}") from e
    except (TypeError, ValueError) as e:
        raise type(e)(f"{where}: {e}") from e


def _stack(*rows: Any) -> Any:
    import numpy
    import scipy.sparse
    return scipy.sparse.vstack(rows, format="csr", dtype=numpy.uint64)


def _tree(parts: list, combine: Any) -> Any:
    """The delayed parts combined FAN_IN at a time, in their order."""
    step = dask.delayed(combine, pure=True)
    while len(parts) > 1:
        parts = [step(*parts[i:i + FAN_IN]) for i in range(0, len(parts), FAN_IN)]
    return parts[0]


def _is_local(path: Any) -> bool:
    return isinstance(path, os.PathLike) or (isinstance(path, str) and "://" not in path)


def _files(paths: Any) -> Tuple[Any, list]:
    """The file system and the files that paths name. Local paths and
    patterns mean what they mean to Terms.count_files; a URL (with a
    protocol, such as s3://) is fsspec's to expand."""
    listed = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if all(_is_local(p) for p in listed):
        return LocalFileSystem(), [os.path.abspath(p) for p in expand_paths(listed)]
    fs, _, found = get_fs_token_paths(paths, mode="rb")
    if not found:
        raise FileNotFoundError(errno.ENOENT, "no files match", str(paths))
    return fs, found


def _result(value: Any, compute: bool, client: Any) -> Any:
    if not compute:
        return value
    if client is not None:
        (result,) = dask.compute(value, scheduler=client)
    else:
        (result,) = dask.compute(value)
    return result


def count_files(paths: Union[str, Sequence[str]], terms: Terms, mode: str = "any",
                blocksize: Union[int, str] = "64MiB", compression: Optional[str] = "infer",
                compute: bool = True, client: Optional[Any] = None,
                slices: int = 1) -> Any:
    """Counts the terms in files, as one termcount run per file would, and
    adds the counts up: a Counts, or with compute=False a dask Delayed that
    computes to it (for dask.compute, persist or distributed.progress).

    paths is a path, a glob pattern or a list of them, by the rule of
    Terms.count_files: a path that exists is that file; otherwise it is a
    glob by Python's glob rules; a directory, or a pattern that matches
    nothing, raises naming it. A URL (s3://...) is expanded by fsspec. The
    files must be readable at the same path where the tasks run. Each file is read in blocks of about blocksize
    bytes (an int or a string such as "64MiB", at least MIN_BLOCKSIZE, 64
    KiB), cut right after line feeds, one task per block. compression
    "infer" counts files ending in .gz, .bz2, .xz (and the other suffixes
    fsspec knows) decompressed, one task per file; a name such as "gzip"
    decompresses every file so; None counts raw bytes. client=None uses the
    current Dask client if there is one, else Dask's local threaded
    scheduler; a distributed.Client is used as it is.

    A missing, unreadable or directory path, or one that is no regular
    file, raises OSError naming it, at the caller before anything runs, or
    from the task that meets it. A compressed file that is empty, corrupt
    or cut short raises naming it (EOFError when it ends early); so
    does a file that changes (its size or modification time) after the
    count was planned, which never gives mixed counts. A task that fails
    raises its exception at the caller. A worker lost midway has its tasks
    run again elsewhere, and the result stays exact.

    slices=N cuts the term list into N runs of about equal bytes, for a
    list whose index one worker cannot hold: each block is counted once per
    slice, by tasks that go to one worker per slice (slice k to the k-th
    worker, round the workers, or to another should that one be lost), so
    that a worker builds and keeps the index of its own slices only. The
    result is that of the whole list: a term listed in two slices counts
    under its later listing, the earlier 0, as in one list.
    """
    _checked(terms, mode)
    size = _blocksize(blocksize)
    _compression("", compression)  # refuses an unknown compression before the paths
    _check_client(client)
    sliced = _Slices(terms, _slice_count(slices), client)
    if not isinstance(paths, (str, list, tuple, os.PathLike)):
        raise TypeError("paths must be a str, a path or a list of them, "
                        f"not {type(paths).__name__}")
    fs, found = _files(paths)
    count = dask.delayed(_count_block, pure=True)
    planned = []
    for path in found:
        comp = _compression(path, compression)
        stamp, blocks = _plan(fs, path, comp, size)
        planned += [(path, stamp, block, comp) for block in blocks]
    sums = []
    for k, term_list in enumerate(sliced.term_lists):
        with sliced.placed(k):
            parts = [count(fs, path, stamp, block, comp, term_list, mode)
                     for path, stamp, block, comp in planned]
            sums.append(_tree(parts, _add))
    whole = dask.delayed(_join, pure=True)(sliced.shadowed, *sums) if len(sums) > 1 else sums[0]
    return _result(whole, compute, client)


def count_each(docs: Any, terms: Terms, mode: str = "any", compute: bool = True,
               client: Optional[Any] = None, slices: int = 1) -> Any:
    """Counts the terms in every document of a dask.bag.Bag (of bytes-like
    or str items), or of a Dask Series of str, on its own: a
    scipy.sparse.csr_matrix of shape (documents, terms), dtype uint64, zeros
    left out, rows in the documents' order, row i equal to
    terms.count(document i, mode). With compute=False, a dask Delayed that
    computes to it. Each partition is one task, counted with
    Terms.count_each; client and slices as for count_files (with slices,
    a task per partition and slice).
    """
    _checked(terms, mode)
    _check_client(client)
    sliced = _Slices(terms, _slice_count(slices), client)
    need("scipy.sparse", "termcount.dask.count_each", "python3-scipy", "scipy")
    series = getattr(sys.modules.get("dask.dataframe"), "Series", ())
    if not isinstance(docs, (dask.bag.Bag, series)):
        raise TypeError("docs must be a dask.bag.Bag or a dask.dataframe.Series, "
                        f"not {type(docs).__name__}")
    each = dask.delayed(_count_part, pure=True)
    join = dask.delayed(_join_rows, pure=True)
    rows = []
    for i, part in enumerate(docs.to_delayed()):
        per_slice = []
        for k, term_list in enumerate(sliced.term_lists):
            with sliced.placed(k):
                per_slice.append(each(part, i, term_list, mode))
        rows.append(join(sliced.shadowed, *per_slice) if len(per_slice) > 1 else per_slice[0])
    return _result(_tree(rows, _stack), compute, client)
