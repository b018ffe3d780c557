"""Exact counts over many files on a Dask cluster.

::

    from dask.distributed import Client
    import termcount, termcount.dask

    client = Client("tcp://scheduler:8786")
    terms = termcount.Terms.from_file("terms.txt")
    counts = termcount.dask.count_files("/data/logs/*.log", terms, mode="word")

Each file is read in blocks cut right after line feeds, one task per block,
and the per-block counts are added up in a tree. Counts add up exactly over
such blocks, so the result is the sum, over the files, of one termcount run
per file. Each worker process builds the index of a term list once and
keeps it for every block and every later count of the same list.
"""
import hashlib
import threading
from collections import OrderedDict
from typing import Any, List, Optional, Sequence, Tuple, Union

try:
    import dask
    from dask.bytes import read_bytes
except ImportError as e:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "termcount.dask needs Dask, and distributed for a cluster, in this "
        "Python's environment: 'pip install dask distributed' (a venv, pyenv "
        "or conda Python), or 'apt-get install python3-dask "
        "python3-distributed' for Debian's python3") from e

from . import Counts, Terms

__all__ = ["count_files"]

# How many per-block counts one task of the reduction adds up.
FAN_IN = 8

# The indexes this process has built, by the digest of their term list: a
# worker keeps the last few lists it counted, so that neither a block nor a
# later count of the same list builds its index again.
_KEEP = 4
_indexes: "OrderedDict[str, Terms]" = OrderedDict()
_lock = threading.Lock()
_built = 0  # indexes this process has built, for the tests


def _digest(terms: Tuple[bytes, ...]) -> str:
    h = hashlib.blake2b(digest_size=20)
    for t in terms:
        h.update(len(t).to_bytes(8, "little"))
        h.update(t)
    return h.hexdigest()


def _remember(digest: str, terms: Terms) -> None:
    _indexes[digest] = terms
    _indexes.move_to_end(digest)
    while len(_indexes) > _KEEP:
        _indexes.popitem(last=False)


def _index(digest: str, listed: bytes) -> Terms:
    """The index of a term list, built here at most once; `listed` holds its
    terms, each ended by a line feed, which no term holds."""
    global _built
    with _lock:
        index = _indexes.get(digest)
        if index is None:
            index = Terms(listed.split(b"\n")[:-1])
            _built += 1
        _remember(digest, index)
        return index


def _count_block(block: bytes, term_list: Tuple[str, bytes], mode: str) -> Counts:
    return _index(*term_list).count(block, mode)


def _add(*counts: Counts) -> Counts:
    return sum(counts[1:], counts[0])


def _cache_info() -> Tuple[int, List[str]]:
    """(indexes built by this process, digests it keeps), for the tests."""
    with _lock:
        return _built, list(_indexes)


def count_files(paths: Union[str, Sequence[str]], terms: Terms, mode: str = "any",
                blocksize: Union[int, str] = "64MiB",
                client: Optional[Any] = None) -> Counts:
    """Counts the terms in files, as one termcount run per file would, and
    adds the counts up.

    paths is a path, a glob pattern or a list of them, as
    dask.bytes.read_bytes takes them; the files must be readable where the
    tasks run. Each file is read in blocks of about blocksize bytes (an int
    or a string such as "64MiB"), cut right after line feeds, one task per
    block. client=None uses the current Dask client if there is one, else
    Dask's local threaded scheduler; a given client is used as it is.

    A missing or unreadable file raises OSError; a task that fails raises
    its exception here. A worker lost midway has its tasks run again
    elsewhere, and the result stays exact.
    """
    if not isinstance(terms, Terms):
        raise TypeError(f"terms must be a termcount.Terms, not {type(terms).__name__}")
    empty = terms.count(b"", mode)  # refuses a bad mode before anything runs
    _, blocks = read_bytes(paths, delimiter=b"\n", blocksize=blocksize, sample=False)
    digest = _digest(terms.terms)
    with _lock:
        _remember(digest, terms)  # a local scheduler counts with the caller's index
    # One key for the term list, which each worker fetches once, rather
    # than a copy in every task; one bytes object, which Dask does not walk
    # item by item as it would a tuple of a million terms.
    listed = b"".join(t + b"\n" for t in terms.terms)
    term_list = dask.delayed((digest, listed), name=f"termcount-terms-{digest}",
                             traverse=False)
    count = dask.delayed(_count_block, pure=True)
    parts = [count(b, term_list, mode) for file_blocks in blocks for b in file_blocks]
    if not parts:
        return empty
    add = dask.delayed(_add, pure=True)
    while len(parts) > 1:
        parts = [add(*parts[i:i + FAN_IN]) for i in range(0, len(parts), FAN_IN)]
    if client is not None:
        (result,) = dask.compute(parts[0], scheduler=client)
    else:
        (result,) = dask.compute(parts[0])
    return result
