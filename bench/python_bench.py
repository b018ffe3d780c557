"""One row of the Python tables: loads the terms and counts a text with the
termcount module as HOW says, writes the report to standard output and the
seconds that took to TIME. The load is timed, as it is in the program's own
time; Python's start, reading the text into memory, cutting it into
documents and starting a cluster are not.

    python_bench.py HOW TERMS TEXT MODE TIME

HOW is one of
  memory, stream, file1, file2     count, count_stream and count_file
  file1-progress                   count_file(threads=1) with a progress callable
  dask-threads, dask-processes     termcount.dask.count_files
  files-loop, files1, files2       a loop over count_file, and count_files on
                                   one and two threads; TEXT is a glob
  each-loop, each-aho, each1, each2, each1-progress
                                   per-document counts of TEXT cut into
                                   documents of 200 bytes (at most a million):
                                   a loop over count() building the same sparse
                                   matrix, pyahocorasick's loop, and count_each

The per-document rows write the report of the matrix's column sums. The
loop over count() counts only the first SAMPLE documents, and TIME gets its
time scaled up to all of them: it takes minutes otherwise."""
import glob
import logging
import sys
import tempfile
import time
import warnings

import termcount

DOC_BYTES = 200
MAX_DOCS = 1_000_000
SAMPLE = 20_000


def timed(time_path, count, report=lambda counts: counts.report(), scale=1.0):
    t0 = time.perf_counter()
    counts = count()
    elapsed = time.perf_counter() - t0
    with open(time_path, "w") as f:
        f.write(f"{elapsed * scale}\n")
    sys.stdout.buffer.write(report(counts))


def progress(done, total):
    """What a caller's progress callable costs at least: a Python call."""
    progress.calls += 1


progress.calls = 0


def documents(text_path):
    with open(text_path, "rb") as f:
        text = f.read(DOC_BYTES * MAX_DOCS)
    return [text[i:i + DOC_BYTES] for i in range(0, len(text) - DOC_BYTES + 1, DOC_BYTES)]


def column_report(listed, sums):
    """termcount's report from one count per listed term."""
    return b"".join(b"%d %s\n" % (int(n), t) for n, t in zip(sums, listed))


def each_loop(terms, docs, mode):
    """What a user writes without count_each: count() per document, its
    nonzero counts gathered into the same sparse matrix."""
    import numpy
    import scipy.sparse

    # Python lists, not a NumPy array a row: kept between the counts' large
    # buffers, those small arrays grew this loop to gigabytes.
    indptr, indices, data = [0], [], []
    for d in docs:
        row = numpy.frombuffer(terms.count(d, mode), dtype=numpy.uint64)
        nz = row.nonzero()[0]
        indices.extend(nz.tolist())
        data.extend(row[nz].tolist())
        indptr.append(len(indices))
    return scipy.sparse.csr_matrix(
        (numpy.array(data, dtype=numpy.uint64), numpy.array(indices), indptr),
        shape=(len(docs), len(terms)), dtype=numpy.uint64)


def each_aho(terms_path, docs):
    """pyahocorasick's loop: one dict of counts per document. Returns the
    counts summed over the documents, with the terms as str."""
    import ahocorasick

    automaton = ahocorasick.Automaton()
    with open(terms_path, "rb") as f:
        for line in f.read().split(b"\n"):
            if line:
                automaton.add_word(line.decode("latin-1"), line.decode("latin-1"))
    automaton.make_automaton()
    rows = []
    for d in docs:
        row = {}
        for _, term in automaton.iter(d):
            row[term] = row.get(term, 0) + 1
        rows.append(row)
    total = {}
    for row in rows:
        for term, n in row.items():
            total[term] = total.get(term, 0) + n
    return total


def per_document(how, terms_path, text_path, mode, time_path):
    docs = documents(text_path)

    def terms():
        return termcount.Terms.from_file(terms_path)

    def matrix_report(m):
        return column_report(termcount.Terms.from_file(terms_path).terms, m.sum(axis=0).A1)

    if how == "each-loop":
        sample = docs[:SAMPLE]
        timed(time_path, lambda: each_loop(terms(), sample, mode), matrix_report,
              scale=len(docs) / len(sample))
    elif how == "each-aho":
        # The library takes str: the documents are decoded untimed.
        text_docs = [d.decode("latin-1") for d in docs]
        timed(time_path, lambda: each_aho(terms_path, text_docs),
              lambda total: b"".join(b"%d %s\n" % (n, t.encode("latin-1"))
                                     for t, n in total.items()))
    else:
        threads = 1 if how.startswith("each1") else 2
        watch = progress if how.endswith("-progress") else None
        timed(time_path, lambda: terms().count_each(docs, mode, threads=threads,
                                                    progress=watch), matrix_report)


def many_files(how, terms_path, pattern, mode, time_path):
    def terms():
        return termcount.Terms.from_file(terms_path)

    if how == "files-loop":
        paths = sorted(glob.glob(pattern))

        def loop():
            t = terms()
            return sum(t.count_file(p, mode) for p in paths)

        timed(time_path, loop)
    else:
        timed(time_path, lambda: terms().count_files(pattern, mode, threads=int(how[-1])))


def on_dask(how, terms_path, text_path, mode, time_path):
    from termcount import dask as on_dask
    # Dask's deprecation notices on standard error would read as a failure.
    warnings.filterwarnings("ignore")
    logging.getLogger("distributed").setLevel(logging.ERROR)

    # 17 blocks of the text for two workers: with 64 MiB, four large
    # blocks and a small one would leave one worker three.
    def count(client=None):
        terms = termcount.Terms.from_file(terms_path)
        return on_dask.count_files(text_path, terms, mode, blocksize="16MiB", client=client)

    if how == "dask-threads":
        timed(time_path, count)
    else:
        from dask.distributed import Client, LocalCluster
        # A space of its own for the workers: in the shared default, a lock
        # left by an earlier run's killed worker is purged with a note on
        # standard error.
        with tempfile.TemporaryDirectory() as space, \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                             dashboard_address=None, local_directory=space) as cluster, \
                Client(cluster) as client:
            timed(time_path, lambda: count(client))


def main(how, terms_path, text_path, mode, time_path):
    def terms():
        return termcount.Terms.from_file(terms_path)

    if how == "memory":
        with open(text_path, "rb") as f:
            text = f.read()
        timed(time_path, lambda: terms().count(text, mode))
    elif how in ("file1", "file2"):
        timed(time_path, lambda: terms().count_file(text_path, mode, threads=int(how[-1])))
    elif how == "file1-progress":
        timed(time_path, lambda: terms().count_file(text_path, mode, threads=1,
                                                    progress=progress))
    elif how == "stream":
        with open(text_path, "rb") as f:
            timed(time_path, lambda: terms().count_stream(f, mode))
    elif how.startswith("files"):
        many_files(how, terms_path, text_path, mode, time_path)
    elif how.startswith("each"):
        per_document(how, terms_path, text_path, mode, time_path)
    elif how.startswith("dask-"):
        on_dask(how, terms_path, text_path, mode, time_path)
    else:
        sys.exit(f"unknown row {how}")


# The workers of a LocalCluster start by importing this file anew.
if __name__ == "__main__":
    main(*sys.argv[1:])
