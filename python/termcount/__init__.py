"""Exact counts of listed terms in bytes, files and streams.

Build a term list once, then count it as often as you like, from any
number of threads::

    import termcount
    terms = termcount.Terms.from_file("terms.txt")
    counts = terms.count_file("big.log", mode="word")
    print(counts.most_common(10))

Every count equals the report of the termcount program over the same bytes:
one count per term, in list order, zeros included. mode is "any" (every
occurrence, overlapping ones too), "word" (whole words: ASCII letters and
digits) or "line" (input lines equal to a term). Text and terms are bytes;
a str is taken as UTF-8.

termcount.dask counts the files of a Dask cluster.
"""


def _core_missing(error: ImportError) -> ImportError:
    """The ImportError for a compiled core that this Python cannot load:
    usually one built for another Python, as its file name tells
    (_termcount.cpython-311-....so is for Python 3.11)."""
    import os
    import re
    import sys

    here = os.path.dirname(os.path.abspath(__file__))
    built = sorted(f"{m[1]}.{m[2]}" for m in (
        re.match(r"_termcount\.cpython-(\d)(\d+)", f) for f in os.listdir(here)) if m)
    this = f"{sys.version_info[0]}.{sys.version_info[1]}"
    if not built:
        what = "is not built"
    elif this in built:  # for another build of this version: another ABI
        what = f"does not load in this Python {this}: {error}"
    else:
        what = f"was built for Python {' and '.join(built)}, not for this Python {this}"
    return ImportError(
        f"termcount's compiled core in {here} {what}. Build it for this Python "
        f"in termcount's source folder: '{sys.executable} -m pip install .', or "
        f"'cmake -S . -B build -DPython_EXECUTABLE={sys.executable}' and "
        f"PYTHONPATH=build/python (README: From Python).", name=error.name)


try:
    from ._termcount import __version__
except ModuleNotFoundError as e:
    if e.name != __name__ + "._termcount":
        raise
    raise _core_missing(e) from None

from ._api import Counts, Terms

__all__ = ["Counts", "Terms", "__version__"]
