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
from ._termcount import Counts, Terms, __version__

__all__ = ["Counts", "Terms", "__version__"]
