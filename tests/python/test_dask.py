"""termcount.dask against the termcount program run once per file: on an
in-process LocalCluster, and on a real cluster of Dask's own programs, a
dask-scheduler and dask-worker processes on 127.0.0.1, one of which is
killed midway through a count. TERMCOUNT_DASK_CASES (default 20) sets the
random run on the real cluster; the full run is TERMCOUNT_DASK_CASES=500."""
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import termcount
from cases import MODES, draw, terms_of

distributed = pytest.importorskip("distributed")
tdask = pytest.importorskip("termcount.dask")

BLOCKSIZES = (1 << 10, 3000, 1 << 16, 1 << 20, 64 << 20)


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
        self.scheduler = self.start([shutil.which("dask-scheduler"),
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
        proc = self.start([shutil.which("dask-worker"), "--scheduler-file", str(self.file),
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


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    if not (shutil.which("dask-scheduler") and shutil.which("dask-worker")):
        pytest.skip("needs dask-scheduler and dask-worker (python3-distributed)")
    c = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        c.workers = [c.add_worker(), c.add_worker()]
        c.client = distributed.Client(scheduler_file=str(c.file), timeout=30)
        c.client.wait_for_workers(2, timeout=30)
        yield c
        c.client.close(timeout=10)
    finally:
        c.stop()


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
    feed, some a few blocks long; the search file drawn with them."""
    search_file, text = draw(rng)
    files = []
    for i in range(1 + rng.randrange(6)):
        body = text if rng.randrange(3) else draw(rng)[1]
        if rng.randrange(5) == 0:
            body = b""
        elif rng.randrange(4) == 0:
            body = body * (1 + (5000 // max(len(body), 1)))
        f = folder / f"part{i}.log"
        f.write_bytes(body)
        files.append(f)
    (folder / "terms.txt").write_bytes(search_file)
    return folder / "terms.txt", files


def compare_case(rng, folder, run_termcount, client):
    for old in folder.glob("*"):
        old.unlink()
    terms_file, files = random_files(rng, folder)
    terms = (termcount.Terms.from_file(terms_file) if rng.randrange(2)
             else termcount.Terms(terms_of(terms_file.read_bytes())))
    mode = rng.choice(MODES)
    blocksize = rng.choice(BLOCKSIZES)
    paths = str(folder / "part*.log") if rng.randrange(2) else [str(f) for f in files]
    got = tdask.count_files(paths, terms, mode, blocksize=blocksize, client=client)
    want = counts_per_file(run_termcount, terms_file, mode, files)
    if list(got) != want or got.terms != terms.terms:
        return (f"{mode}, blocksize {blocksize}, {len(files)} files: "
                f"want {want}, got {list(got)}")
    return None


def run_cases(n, seed, folder, run_termcount, client):
    failures = []
    for i in range(n):
        diff = compare_case(random.Random(seed * 7919 + i), folder, run_termcount, client)
        if diff:
            failures.append(f"case {i}: {diff}")
    return failures


def test_local_cluster_in_process(tmp_path, run_termcount):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as lc, \
            distributed.Client(lc) as client:
        assert run_cases(10, 2, tmp_path, run_termcount, client) == []


def test_local_threaded_scheduler(tmp_path, run_termcount):
    assert run_cases(10, 3, tmp_path, run_termcount, None) == []


def test_real_cluster_matches_the_program(tmp_path, cluster, run_termcount):
    n = int(os.environ.get("TERMCOUNT_DASK_CASES", "20"))
    failures = run_cases(n, 1, tmp_path, run_termcount, cluster.client)
    print(f"dask cases: {n - len(failures)} passed, {len(failures)} failed")
    assert failures == []


def test_each_worker_builds_an_index_once(tmp_path, cluster):
    terms = termcount.Terms([b"cat", b"at", b"the %d" % random.randrange(10**9)])
    f = tmp_path / "text"
    f.write_bytes(b"the cat sat on the mat\n" * 20000)
    before = dict(cluster.client.run(tdask._cache_info))
    for mode in MODES:
        got = tdask.count_files(str(f), terms, mode, blocksize=1 << 12, client=cluster.client)
        assert got == terms.count_file(f, mode)
    after = cluster.client.run(tdask._cache_info)
    built = {w: after[w][0] - before[w][0] for w in after}
    # About a hundred blocks a mode on two workers: once a worker at most.
    assert set(built.values()) <= {0, 1} and sum(built.values()) >= 1, built


def test_missing_and_unreadable_files_raise_at_the_caller(tmp_path, cluster):
    terms = termcount.Terms([b"a"])
    (tmp_path / "a.log").write_bytes(b"a\n")
    with pytest.raises(FileNotFoundError):
        tdask.count_files([str(tmp_path / "a.log"), str(tmp_path / "missing.log")], terms,
                          client=cluster.client)
    with pytest.raises(OSError, match="no files"):
        tdask.count_files(str(tmp_path / "*.nothing"), terms, client=cluster.client)
    with pytest.raises(IsADirectoryError):
        tdask.count_files(str(tmp_path), terms, client=cluster.client)


def test_bad_arguments(tmp_path, cluster):
    (tmp_path / "a.log").write_bytes(b"a\n")
    with pytest.raises(ValueError, match="'any', 'word' or 'line'"):
        tdask.count_files(str(tmp_path / "a.log"), termcount.Terms([b"a"]), "words",
                          client=cluster.client)
    with pytest.raises(TypeError, match="termcount.Terms"):
        tdask.count_files(str(tmp_path / "a.log"), [b"a"], client=cluster.client)


def slow_files(folder):
    """Files whose blocks take a while: with the term of a thousand a's, a
    walk of a thousand steps from every byte."""
    files = []
    for i in range(6):
        f = folder / f"slow{i}.log"
        f.write_bytes((b"a" * 4000 + b"\n") * (30 + 5 * i))
        files.append(f)
    (folder / "terms.txt").write_bytes(b"a" * 1000 + b"\naa\n")
    return folder / "terms.txt", files


def count_killing_a_worker(cluster, files, terms):
    """count_files with a worker of its own killed while it runs a task:
    the result, or the exception it raised."""
    victim = cluster.add_worker()
    cluster.client.wait_for_workers(len(cluster.client.scheduler_info()["workers"]) + 1,
                                    timeout=30)
    outcome = {}

    def count():
        try:
            outcome["counts"] = tdask.count_files([str(f) for f in files], terms,
                                                  blocksize=1 << 14, client=cluster.client)
        except Exception as e:  # noqa: BLE001 - handed to the test
            outcome["error"] = e

    def victim_busy():
        workers = cluster.client.scheduler_info()["workers"]
        address = [w for w, info in workers.items() if info["name"] == victim.name]
        return bool(address) and bool(cluster.client.processing().get(address[0]))

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


def test_a_worker_killed_midway_leaves_the_count_exact(tmp_path, cluster, run_termcount):
    terms_file, files = slow_files(tmp_path)
    terms = termcount.Terms.from_file(terms_file)
    outcome = count_killing_a_worker(cluster, files, terms)
    assert "error" not in outcome, outcome
    assert list(outcome["counts"]) == counts_per_file(run_termcount, terms_file, "any", files)


def test_a_failed_task_raises_at_the_caller(tmp_path, cluster):
    # With no retries allowed, the task on the killed worker fails.
    def allow(n, dask_scheduler):
        dask_scheduler.allowed_failures = n

    terms_file, files = slow_files(tmp_path)
    terms = termcount.Terms.from_file(terms_file)
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
