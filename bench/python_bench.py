"""One row of the Python table: loads the terms and counts a text with the
termcount module as HOW says, writes the report to standard output and the
seconds that took to TIME. The load is timed, as it is in the program's own
time; Python's start, reading the text into memory and starting a cluster
are not.

    python_bench.py HOW TERMS TEXT MODE TIME

HOW is memory, file1, file2, stream, dask-threads or dask-processes."""
import logging
import sys
import time
import warnings

import termcount


def timed(time_path, count):
    t0 = time.perf_counter()
    counts = count()
    elapsed = time.perf_counter() - t0
    with open(time_path, "w") as f:
        f.write(f"{elapsed}\n")
    sys.stdout.buffer.write(counts.report())


def main(how, terms_path, text_path, mode, time_path):
    def terms():
        return termcount.Terms.from_file(terms_path)

    if how == "memory":
        with open(text_path, "rb") as f:
            text = f.read()
        timed(time_path, lambda: terms().count(text, mode))
    elif how in ("file1", "file2"):
        timed(time_path, lambda: terms().count_file(text_path, mode, threads=int(how[-1])))
    elif how == "stream":
        with open(text_path, "rb") as f:
            timed(time_path, lambda: terms().count_stream(f, mode))
    elif how.startswith("dask-"):
        from termcount import dask as on_dask
        # Dask's deprecation notices on standard error would read as a failure.
        warnings.filterwarnings("ignore")
        logging.getLogger("distributed").setLevel(logging.ERROR)

        # 17 blocks of the text for two workers: with 64 MiB, four large
        # blocks and a small one would leave one worker three.
        def count(client=None):
            return on_dask.count_files(text_path, terms(), mode, "16MiB", client)

        if how == "dask-threads":
            timed(time_path, count)
        else:
            from dask.distributed import Client, LocalCluster
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                timed(time_path, lambda: count(client))
    else:
        sys.exit(f"unknown row {how}")


# The workers of a LocalCluster start by importing this file anew.
if __name__ == "__main__":
    main(*sys.argv[1:])
