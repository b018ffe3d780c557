"""termcount.dask against the termcount program run once per file, and
count_each against the module's own: on an in-process LocalCluster, and on
a real cluster of Dask's own programs, a dask-scheduler and dask-worker
processes on 127.0.0.1, one of which is killed midway through a count.
TERMCOUNT_DASK_CASES (default 20) sets the random run on the real cluster;
the full run is TERMCOUNT_DASK_CASES=500."""
import bz2
import contextlib
import gzip
import io
import lzma
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import termcount
from cases import GLOBS, MODES, draw, make_files, terms_of

distributed = pytest.importorskip("distributed")
tdask = pytest.importorskip("termcount.dask")
import dask  # noqa: E402 - after the skip, which it needs too
import dask.bag  # noqa: E402
import dask.diagnostics  # noqa: E402
from dask.delayed import Delayed  # noqa: E402

try:
    import dask.dataframe as dd
    import pandas
except ImportError:  # the Series rows need python3-pandas
    dd = None

BLOCKSIZES = (1 << 16, 100_000, 1 << 20, 64 << 20)
COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


def wait_for(what, ready, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} not ready after {timeout} s")
        time.sleep(0.05)


class Cluster:
    """A dask-scheduler and its dask-worker processes, each stopped by its
    own PID."""

    def __init__(self, folder):
        self.folder = folder
        self.file = folder / "scheduler.json"
        self.procs = []
        # Dask's programs run under this interpreter, which imports the
        # termcount under test: /usr/bin/dask-worker's python3 may not (an
        # installed wheel in a venv), and a worker that cannot unpickle a
        # task dies and leaves the count waiting for workers.
        self.scheduler = self.start([sys.executable, "-m", "distributed.cli.dask_scheduler",
                                     "--scheduler-file", str(self.file),
                                     "--host", "127.0.0.1", "--port", "0",
                                     "--no-dashboard"])
        wait_for("scheduler file", self.file.exists)

    def start(self, argv):
        log = open(self.folder / f"log.{len(self.procs)}", "wb")
        proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                cwd=self.folder, env=os.environ)
        self.procs.append(proc)
        return proc

    def add_worker(self):
        """Starts a worker, named by its number, and returns its process."""
        name = f"worker-{len(self.procs)}"
        proc = self.start([sys.executable, "-m", "distributed.cli.dask_worker",
                           "--scheduler-file", str(self.file),
                           "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                           "--no-dashboard", "--name", name,
                           "--local-directory", str(self.folder)])
        proc.name = name
        return proc

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=10)


# Neither client is made the default, so that client=None means Dask's
# local threaded scheduler wherever a test passes it.
@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    if not (shutil.which("dask-scheduler") and shutil.which("dask-worker")):
        pytest.skip("needs dask-scheduler and dask-worker (python3-distributed)")
    c = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        c.workers = [c.add_worker(), c.add_worker()]
        c.client = distributed.Client(scheduler_file=str(c.file), timeout=30,
                                      set_as_default=False)
        c.client.wait_for_workers(2, timeout=30)
        yield c
        c.client.close(timeout=10)
    finally:
        c.stop()


@pytest.fixture(scope="module")
def local_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as lc, \
            distributed.Client(lc, set_as_default=False) as client:
        yield client


def counts_per_file(run_termcount, terms_file, mode, files):
    """The counts of one termcount run per file, added up."""
    total = None
    for f in files:
        report = run_termcount(terms_file, mode, f)
        counts = [int(line.split(b" ", 1)[0]) for line in report.split(b"\n") if line]
        total = counts if total is None else [a + b for a, b in zip(total, counts)]
    return total


def random_files(rng, folder):
    """1 to 6 files of random lines, some empty, some without a final line
    feed, some a few blocks long, some compressed; the search file drawn
    with them, and the files' plain bytes, for the program."""
    search_file, text = draw(rng)
    files, plain = [], []
    for i in range(1 + rng.randrange(6)):
        body = text if rng.randrange(3) else draw(rng)[1]
        if rng.randrange(5) == 0:
            body = b""
        elif rng.randrange(3) == 0:
            body = body * (1 + (200 << 10) // max(len(body), 1))
        suffix = rng.choice([".log"] * 3 + list(COMPRESSORS))
        f = folder / f"part{i}{suffix}"
        f.write_bytes(COMPRESSORS[suffix](body) if suffix in COMPRESSORS else body)
        files.append(f)
        plain.append(folder / f"plain{i}")
        plain[-1].write_bytes(body)
    (folder / "terms.txt").write_bytes(search_file)
    return folder / "terms.txt", files, plain


def random_terms(rng, terms_file):
    return (termcount.Terms.from_file(terms_file) if rng.randrange(2)
            else termcount.Terms(terms_of(terms_file.read_bytes())))


def computed(value, client):
    """A Delayed computed on client, or Dask's local scheduler for None."""
    assert isinstance(value, Delayed), type(value)
    return client.compute(value).result() if client else value.compute(scheduler="threads")


def compare_case(rng, folder, run_termcount, client):
    for old in folder.glob("*"):
        old.unlink()
    terms_file, files, plain = random_files(rng, folder)
    terms = random_terms(rng, terms_file)
    mode = rng.choice(MODES)
    blocksize = rng.choice(BLOCKSIZES)
    paths = str(folder / "part*") if rng.randrange(2) else [str(f) for f in files]
    eager = rng.randrange(2)
    slices = rng.choice([1, 1, 2, 3, 8])
    got = tdask.count_files(paths, terms, mode, blocksize=blocksize, compute=eager,
                            client=client, slices=slices)
    got = got if eager else computed(got, client)
    want = counts_per_file(run_termcount, terms_file, mode, plain)
    if list(got) != want or got.terms != terms.terms:
        return (f"{mode}, blocksize {blocksize}, {len(files)} files, compute={eager}, "
                f"{slices} slices: want {want}, got {list(got)}")
    return None


def compare_each_case(rng, client):
    """count_each over a bag, or a Dask Series, of random documents (empty
    ones too, some in swapped case) against Terms.count_each over the same
    documents, with case ignored or not."""
    search_file, text = draw(rng)
    terms = termcount.Terms(terms_of(search_file), ignore_case=bool(rng.randrange(2)))
    docs = text.split(b"\n")[:rng.randrange(60)] + [b""] * rng.randrange(2)
    docs = [d.swapcase() if rng.randrange(2) else d for d in docs]
    rng.shuffle(docs)
    mode = rng.choice(MODES)
    parts = 1 + rng.randrange(4)
    if dd is not None and rng.randrange(2):
        docs = [d.decode("latin-1") for d in docs]
        collection = dd.from_pandas(pandas.Series(docs, dtype=object), npartitions=parts)
    else:
        collection = dask.bag.from_sequence(docs, npartitions=parts)
    eager = rng.randrange(2)
    slices = rng.choice([1, 1, 2, 3, 8])
    got = tdask.count_each(collection, terms, mode, compute=eager, client=client,
                           slices=slices)
    got = got if eager else computed(got, client)
    want = terms.count_each(docs, mode)
    if (got.shape, got.dtype) != (want.shape, want.dtype) or (got != want).nnz:
        return (f"count_each {type(collection).__name__}, {mode}, {parts} partitions, "
                f"compute={eager}, {slices} slices: want {want.toarray()}, "
                f"got {got.toarray()}")
    return None


def run_cases(n, seed, folder, run_termcount, client):
    failures = []
    for i in range(n):
        rng = random.Random(seed * 7919 + i)
        for diff in (compare_case(rng, folder, run_termcount, client),
                     compare_each_case(rng, client)):
            if diff:
                failures.append(f"case {i}: {diff}")
    return failures


def test_local_cluster_in_process(tmp_path, local_client, run_termcount):
    assert run_cases(10, 2, tmp_path, run_termcount, local_client) == []


def test_local_threaded_scheduler(tmp_path, run_termcount):
    assert run_cases(10, 3, tmp_path, run_termcount, None) == []


def test_real_cluster_matches_the_program(tmp_path, cluster, run_termcount):
    n = int(os.environ.get("TERMCOUNT_DASK_CASES", "20"))
    failures = run_cases(n, 1, tmp_path, run_termcount, cluster.client)
    print(f"dask cases: {n - len(failures)} passed, {len(failures)} failed")
    assert failures == []


def test_each_worker_builds_an_index_once(tmp_path, cluster):
    def hold_indexes(dask_worker):
        """Whether each index the worker held before is the one it holds
        now; holding them keeps an index built again from taking the id of
        one dropped."""
        import termcount.dask
        held = getattr(dask_worker, "termcount_held", {})
        held.update(termcount.dask._indexes)
        dask_worker.termcount_held = held
        kept = termcount.dask._indexes
        return {digest: kept.get(digest, index) is index for digest, index in held.items()}

    terms = termcount.Terms([b"cat", b"at", b"the %d" % random.randrange(10**9)])
    f = tmp_path / "text"
    f.write_bytes(b"the cat sat on the mat\n" * 100000)
    docs = [b"the cat", b"at"] * 200
    for mode in MODES:
        # About forty tasks each, on two workers.
        got = tdask.count_files(str(f), terms, mode, blocksize=1 << 16, client=cluster.client)
        assert got == terms.count_file(f, mode)
        each = tdask.count_each(dask.bag.from_sequence(docs, npartitions=40), terms, mode,
                                client=cluster.client)
        assert (each != terms.count_each(docs, mode)).nnz == 0
        same = cluster.client.run(hold_indexes)
        assert all(all(kept.values()) for kept in same.values()), same
    assert all(same.values()), f"a worker holds no index: {same}"


def test_each_worker_builds_its_slices_only(tmp_path, cluster):
    def held(dask_worker):
        import termcount.dask
        return set(termcount.dask._indexes)

    listed = [b"cat", b"at", b"the %d" % random.randrange(10**9), b"mat", b"at"]
    terms = termcount.Terms(listed)
    f = tmp_path / "text"
    f.write_bytes(b"the cat sat on the mat\n" * 20000)
    before = cluster.client.run(held)
    got = tdask.count_files(str(f), terms, blocksize=1 << 16, client=cluster.client, slices=2)
    assert got == terms.count_file(f)
    assert got[1] == 0, "the earlier listing of a term in two slices counts nothing"
    new = [now - before[w] for w, now in cluster.client.run(held).items()]
    # Two workers, two slices: one slice each, and never the whole list.
    assert sorted(len(n) for n in new) == [1, 1], new
    assert new[0] != new[1]


@pytest.mark.parametrize("slices, error", [
    (0, ValueError), (-1, ValueError), (True, TypeError), (1.5, TypeError), ("2", TypeError),
])
def test_bad_slices(tmp_path, slices, error):
    f = tmp_path / "text"
    f.write_bytes(b"cat\n")
    terms = termcount.Terms([b"cat"])
    with pytest.raises(error, match="slices"):
        tdask.count_files(str(f), terms, slices=slices)
    with pytest.raises(error, match="slices"):
        tdask.count_each(dask.bag.from_sequence([b"cat"]), terms, slices=slices)


def changed(mutate):
    return pytest.param(mutate, id=mutate.__name__)


def grown(f):
    with open(f, "ab") as out:
        out.write(b"cat\n" * 1000)


def renamed_over_by_a_longer_file(f):
    other = f.with_name("other")
    other.write_bytes(f.read_bytes() + b"cat\n")
    os.replace(other, f)


def shrunk(f):
    os.truncate(f, 100)


def rewritten_at_the_same_size(f):
    f.write_bytes(f.read_bytes().replace(b"cat", b"dog"))


def removed(f):
    f.unlink()


@pytest.mark.parametrize("suffix", [".log", ".gz"])
@pytest.mark.parametrize("mutate", [changed(m) for m in (
    grown, renamed_over_by_a_longer_file, shrunk, rewritten_at_the_same_size, removed)])
def test_a_file_changed_after_planning_raises(tmp_path, cluster, mutate, suffix):
    # Planned with compute=False, changed, then counted: every block checks.
    f = tmp_path / f"text{suffix}"
    body = b"the cat sat\n" * 20000
    f.write_bytes(gzip.compress(body) if suffix == ".gz" else body)
    os.utime(f, ns=(0, 0))  # a modification time that no change made now keeps
    planned = tdask.count_files([str(f)], termcount.Terms([b"cat"]), blocksize=1 << 16,
                                compute=False)
    mutate(f)
    expected = FileNotFoundError if mutate is removed else OSError
    with pytest.raises(expected, match=re.escape(str(f))):
        cluster.client.compute(planned).result()


def test_delayed_counts_compose(tmp_path, cluster):
    terms = termcount.Terms([b"cat", b"at"])
    f = tmp_path / "text.log"
    f.write_bytes(b"the cat sat\n" * 50000)
    planned = tdask.count_files(str(f), terms, blocksize=1 << 16, compute=False)
    persisted = cluster.client.persist(planned)
    bars = io.StringIO()
    with contextlib.redirect_stdout(bars):
        distributed.progress(persisted, scheduler=cluster.client.scheduler.address)
    assert "100% Completed" in bars.getvalue()
    assert persisted.compute(scheduler=cluster.client) == terms.count_file(f)
    with dask.diagnostics.ProgressBar(out=bars):
        assert planned.compute(scheduler="threads") == terms.count_file(f)


@pytest.mark.parametrize("compression, counted", [
    ("infer", "plain"), ("gzip", "plain"), (None, "raw")], ids=["infer", "named", "raw"])
def test_compression(tmp_path, local_client, compression, counted):
    terms = termcount.Terms([b"cat", b"\x1f\x8b"])
    body = b"the cat sat\n" * 1000
    f = tmp_path / "text.gz"
    f.write_bytes(gzip.compress(body))
    text = body if counted == "plain" else f.read_bytes()
    assert tdask.count_files(str(f), terms, compression=compression,
                             client=local_client) == terms.count(text)


def test_missing_and_unreadable_files_raise_at_the_caller(tmp_path, local_client):
    terms = termcount.Terms([b"a"])
    (tmp_path / "a.log").write_bytes(b"a\n")
    missing = str(tmp_path / "missing.log")
    with pytest.raises(FileNotFoundError, match=missing):
        tdask.count_files([str(tmp_path / "a.log"), missing], terms, client=local_client)
    with pytest.raises(OSError, match="no files"):
        tdask.count_files(str(tmp_path / "*.nothing"), terms, client=local_client)
    with pytest.raises(IsADirectoryError, match=str(tmp_path)):
        tdask.count_files(str(tmp_path), terms, client=local_client)


@pytest.mark.parametrize("made, pattern, counted",
                         [pytest.param(*row[1:], id=row[0]) for row in GLOBS])
def test_which_files_a_pattern_means(tmp_path, local_client, made, pattern, counted):
    terms = termcount.Terms(make_files(tmp_path, made))
    if isinstance(counted, type):
        with pytest.raises(counted) as e:
            tdask.count_files(str(tmp_path / pattern), terms, client=local_client)
        assert e.value.filename.startswith(str(tmp_path))
        return
    want = sum(terms.count((tmp_path / f).read_bytes()) for f in counted)
    assert tdask.count_files(str(tmp_path / pattern), terms, client=local_client) == want


def truncated(compress, body):
    data = compress(body)
    return data[:len(data) // 2]


@pytest.mark.parametrize("name, data, compression, error, says", [
    ("empty.gz", b"", "infer", EOFError, "empty"),
    ("empty.gz", b"", "gzip", EOFError, "empty"),
    ("empty.bz2", b"", "infer", EOFError, "empty"),
    ("empty.xz", b"", "infer", EOFError, "empty"),
    ("cut.gz", truncated(gzip.compress, b"the cat\n" * 5000), "infer", EOFError, "cut"),
    ("cut.xz", truncated(lzma.compress, b"the cat\n" * 5000), "infer", EOFError, "cut"),
    ("plain.log", b"the cat\n", "gzip", OSError, "gzip"),
    ("plain.xz", b"the cat\n", "infer", lzma.LZMAError, "xz"),
], ids=["empty gz", "empty, gzip named", "empty bz2", "empty xz", "truncated gz",
        "truncated xz", "plain as gzip", "plain as xz"])
def test_a_compressed_file_that_holds_no_whole_stream_raises_naming_it(
        tmp_path, local_client, name, data, compression, error, says):
    f = tmp_path / name
    f.write_bytes(data)
    with pytest.raises(error, match=says) as e:
        tdask.count_files(str(f), termcount.Terms([b"cat"]), compression=compression,
                          client=local_client)
    assert str(f) in str(e.value)


def test_a_fifo_raises_naming_it(tmp_path, local_client):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="regular file") as e:
        tdask.count_files(str(fifo), termcount.Terms([b"cat"]), client=local_client)
    assert e.value.filename == str(fifo)


@pytest.mark.parametrize("bad, error", [(7, TypeError), ("\udcff", UnicodeEncodeError)],
                         ids=["an int", "a str without UTF-8"])
def test_a_bad_document_is_named_by_its_partition(local_client, bad, error):
    docs = dask.bag.from_sequence([b"a"] * 10 + [bad] + [b"a"], npartitions=3)
    with pytest.raises(error, match=r"partition 2 .*texts\[2\]"):
        tdask.count_each(docs, termcount.Terms([b"a"]), client=local_client)


def test_planning_compiles_nothing_on_the_client(tmp_path, monkeypatch):
    # The client only checks the mode; the workers compile.
    (tmp_path / "a.log").write_bytes(b"a\n")

    def no_count(*args, **kwargs):
        raise AssertionError("a count on the client")

    terms = termcount.Terms([b"a"])
    monkeypatch.setattr(termcount.Terms, "count", no_count)
    monkeypatch.setattr(termcount.Terms, "count_each", no_count)
    assert isinstance(tdask.count_files(str(tmp_path / "a.log"), terms, compute=False), Delayed)
    docs = dask.bag.from_sequence([b"a"])
    assert isinstance(tdask.count_each(docs, terms, compute=False), Delayed)


BAD_ARGUMENTS = [
    # (id, the functions called, arguments, exception, message)
    ("mode", "files each", dict(mode="words"), ValueError, "'any', 'word' or 'line'"),
    ("terms", "files each", dict(terms=[b"a"]), TypeError, "termcount.Terms"),
    ("client", "files each", dict(client="tcp://127.0.0.1:8786"), TypeError,
     "distributed.Client or None"),
    ("blocksize -1", "files", dict(blocksize=-1), ValueError, "at least 64 KiB"),
    ("blocksize 0", "files", dict(blocksize=0), ValueError, "at least 64 KiB"),
    ("blocksize 0B", "files", dict(blocksize="0B"), ValueError, "at least 64 KiB"),
    ("blocksize under 64 KiB", "files", dict(blocksize=(64 << 10) - 1), ValueError,
     "at least 64 KiB"),
    ("blocksize no size", "files", dict(blocksize="big"), ValueError, "at least 64 KiB"),
    ("blocksize float", "files", dict(blocksize=1e6), TypeError, "int or a str"),
    ("compression", "files", dict(compression="gz"), ValueError, "'gzip'"),
    ("paths", "files", dict(paths=7), TypeError, "paths must be"),
    ("docs", "each", dict(docs=[b"a"]), TypeError, "dask.bag.Bag or a dask.dataframe.Series"),
]


@pytest.mark.parametrize("calls, arguments, error, message",
                         [pytest.param(*row[1:], id=row[0]) for row in BAD_ARGUMENTS])
def test_bad_arguments(tmp_path, local_client, calls, arguments, error, message):
    (tmp_path / "a.log").write_bytes(b"a\n")
    given = dict(terms=termcount.Terms([b"a"]), client=local_client) | arguments
    if "files" in calls:
        with pytest.raises(error, match=message):
            tdask.count_files(given.pop("paths", str(tmp_path / "a.log")), **given)
    if "each" in calls:
        with pytest.raises(error, match=message):
            tdask.count_each(given.pop("docs", dask.bag.from_sequence([b"a"])), **given)


def slow_files(folder):
    """Files whose tasks take a while, however fast the count: bzip2
    streams, which decompress at some tens of MiB a second, each file one
    stream of a random MiB repeated. The term list, the files, and the
    counts they hold."""
    terms = termcount.Terms([b"ab", b"a b", b"bab"])
    chunk = bytes(random.Random(5).choices(b"ab \n", k=1 << 20))
    stream = bz2.compress(chunk)
    files = []
    for i in range(6):
        files.append(folder / f"slow{i}.bz2")
        files[-1].write_bytes(stream * (6 + 2 * i))
    return terms, files, sum([terms.count(chunk)] * (6 * 6 + 2 * 15))


def count_killing_a_worker(cluster, files, terms, slices=1):
    """count_files with a worker of its own killed while it runs a task:
    the result, or the exception it raised."""
    victim = cluster.add_worker()
    cluster.client.wait_for_workers(len(cluster.client.scheduler_info()["workers"]) + 1,
                                    timeout=30)
    outcome = {}

    def count():
        try:
            outcome["counts"] = tdask.count_files([str(f) for f in files], terms,
                                                  blocksize=1 << 16, client=cluster.client,
                                                  slices=slices)
        except Exception as e:  # noqa: BLE001 - handed to the test
            outcome["error"] = e

    def term_list_everywhere(address, dask_scheduler):
        # A worker of this Dask (2022.12) can fail a task with KeyError when
        # the worker it fetches an input from dies during the transfer: the
        # kill waits until every worker holds the term list the victim
        # holds, so that it tests the count rather than that race. A
        # slice's list stays on the worker its tasks go to.
        lists = [ts for key, ts in dask_scheduler.tasks.items()
                 if str(key).startswith("termcount-terms-")
                 and address in {ws.address for ws in ts.who_has}]
        return bool(lists) and all(len(ts.who_has) == len(dask_scheduler.workers)
                                   or ts.worker_restrictions for ts in lists)

    def victim_busy():
        workers = cluster.client.scheduler_info()["workers"]
        address = [w for w, info in workers.items() if info["name"] == victim.name]
        return (bool(address) and bool(cluster.client.processing().get(address[0]))
                and cluster.client.run_on_scheduler(term_list_everywhere, address[0]))

    counting = threading.Thread(target=count)
    counting.start()
    try:
        wait_for("a task on the worker to kill", victim_busy)
    finally:
        victim.send_signal(signal.SIGKILL)
        victim.wait(timeout=10)
        counting.join(timeout=300)
    assert not counting.is_alive(), "the count did not end"
    return outcome


@pytest.mark.parametrize("slices", [1, 3], ids=["whole list", "a slice a worker"])
def test_a_worker_killed_midway_leaves_the_count_exact(tmp_path, cluster, slices):
    terms, files, want = slow_files(tmp_path)
    outcome = count_killing_a_worker(cluster, files, terms, slices)
    assert "error" not in outcome, outcome
    assert outcome["counts"] == want


def test_a_failed_task_raises_at_the_caller(tmp_path, cluster):
    # With no retries allowed, the task on the killed worker fails.
    def allow(n, dask_scheduler):
        dask_scheduler.allowed_failures = n

    terms, files, _ = slow_files(tmp_path)
    before = cluster.client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.allowed_failures)
    cluster.client.run_on_scheduler(allow, 0)
    try:
        outcome = count_killing_a_worker(cluster, files, terms)
    finally:
        cluster.client.run_on_scheduler(allow, before)
    assert isinstance(outcome.get("error"), distributed.KilledWorker), outcome


def test_import_without_dask_names_the_packages():
    blocker = textwrap.dedent("""
        import sys
        class NoDask:
            def find_spec(self, name, path=None, target=None):
                if name == "dask" or name.startswith("dask."):
                    raise ImportError("No module named " + repr(name))
        sys.meta_path.insert(0, NoDask())
        import termcount
        termcount.Terms([b"a"]).count(b"a")
        try:
            import termcount.dask
        except ImportError as e:
            print(e)
    """)
    done = subprocess.run([sys.executable, "-c", blocker], capture_output=True, text=True,
                          timeout=60, env=os.environ)
    assert "python3-dask" in done.stdout and "python3-distributed" in done.stdout, done.stderr
