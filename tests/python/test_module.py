"""The module's own behaviour: Counts as a value, the types it takes, every
refusal with its exception, threads sharing one Terms, and Ctrl-C."""
import array
import errno
import mmap
import operator
import os
import pickle
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import termcount
from cases import GLOBS, compressors, make_files

TERMS = termcount.Terms([b"cat", "dog", b"at", b"cat"])
TEXT = b"cat dog concat cat.\ndog\n"

# Under the sanitizers' runtimes (loaded into python3 by CI) every scan is
# several times slower and the runtime reserves terabytes of address space.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def word_counts():
    return TERMS.count(TEXT, "word")


# --- Counts as a value -------------------------------------------------------

@pytest.mark.parametrize("got, want", [
    (lambda c: list(c), [0, 2, 0, 2]),
    (lambda c: len(c), 4),
    (lambda c: c[-1], 2),
    (lambda c: c.terms, (b"cat", b"dog", b"at", b"cat")),
    (lambda c: c.report(), b"0 cat\n2 dog\n0 at\n2 cat\n"),
    (lambda c: c.to_dict(), {b"cat": 2, b"dog": 2, b"at": 0}),
    (lambda c: c.most_common(), [(b"cat", 2), (b"dog", 2), (b"at", 0)]),
    (lambda c: c.most_common(1), [(b"cat", 2)]),
    (lambda c: c.most_common(-1), []),
    (lambda c: list(c + c), [0, 4, 0, 4]),
    (lambda c: list(sum([c, c, c])), [0, 6, 0, 6]),
    (lambda c: 0 + c == c, True),
    (lambda c: c == TERMS.count(TEXT, "any"), False),
    (lambda c: c == termcount.Terms([b"cat", b"dog", b"at", b"dog"]).count(TEXT, "word"), False),
    (lambda c: c == [0, 2, 0, 2], False),
    (lambda c: pickle.loads(pickle.dumps(c)) == c, True),
    (lambda c: memoryview(c).tolist(), [0, 2, 0, 2]),
    (lambda c: c.to_dict(decode=True), {"cat": 2, "dog": 2, "at": 0}),
    (lambda c: pytest.importorskip("pandas") and c.to_pandas().to_dict(),
     {b"cat": 2, b"dog": 2, b"at": 0}),
    (lambda c: (list(c.to_pandas().index), str(c.to_pandas().dtype)),
     ([b"cat", b"dog", b"at", b"cat"], "uint64")),
    (lambda c: (memoryview(c).format, memoryview(c).itemsize, memoryview(c).readonly),
     ("Q", 8, True)),
], ids=["list", "len", "negative index", "terms", "report", "to_dict keeps the last listing",
        "most_common, ties in list order", "most_common(1)", "most_common(-1)", "+", "sum",
        "0 +", "other mode", "other terms", "not Counts", "pickle", "memoryview", "uint64",
        "to_dict(decode=True)", "to_pandas", "to_pandas keeps every listing"])
def test_counts_are_a_value(got, want):
    assert got(word_counts()) == want


def test_numpy_sees_the_counts_without_a_copy():
    np = pytest.importorskip("numpy")
    c = word_counts()
    a, b = np.asarray(c), np.asarray(c)
    assert a.dtype == np.uint64 and a.tolist() == [0, 2, 0, 2]
    assert a.ctypes.data == b.ctypes.data and not a.flags.writeable


def test_terms_pickle_as_their_list_and_count_alike():
    again = pickle.loads(pickle.dumps(TERMS))
    assert again.terms == TERMS.terms and len(again) == 4
    assert again.count(TEXT) == TERMS.count(TEXT)


def test_a_sum_past_64_bits_is_refused():
    big = pickle.loads(pickle.dumps(termcount.Terms([b"a"]).count(b"a")).replace(
        b"\x01\x00\x00\x00\x00\x00\x00\x00", b"\xff" * 8))
    assert list(big) == [2**64 - 1]
    with pytest.raises(OverflowError):
        big + termcount.Terms([b"a"]).count(b"a")


# --- what count() takes ------------------------------------------------------

@pytest.mark.parametrize("text", [
    b"cat cat", bytearray(b"cat cat"), memoryview(b"xcat catx")[1:-1],
    array.array("B", b"cat cat"), "cat cat", "cat cat".encode("utf-8"),
], ids=["bytes", "bytearray", "memoryview", "array", "str", "utf-8"])
def test_every_bytes_like_text(text):
    assert list(termcount.Terms([b"cat"]).count(text, "word")) == [2]


# A chunk is scanned in slices of 16 MiB: a term may straddle two.
LONG = b"x" * ((16 << 20) - 2) + b"cat" + b"x" * ((16 << 20) - 1) + b"cat"


@pytest.mark.parametrize("source", [
    lambda: [LONG], lambda: [bytearray(LONG)], lambda: [b"x", memoryview(LONG)[1:]],
    lambda: iter([LONG[:5], LONG[5:]]),
], ids=["bytes", "bytearray", "memoryview", "two chunks"])
def test_a_long_chunk_counts_as_a_whole(source):
    terms = termcount.Terms([b"cat", b"xc", b"tx"])
    assert list(terms.count_stream(source())) == list(terms.count(LONG)) == [2, 2, 1]


def test_str_terms_and_text_are_utf8():
    t = termcount.Terms(["café", b"caf\xc3\xa9"])
    assert t.terms == (b"caf\xc3\xa9", b"caf\xc3\xa9")
    assert list(t.count("un café, deux cafés")) == [0, 2]


def test_an_mmap_and_a_path_like(tmp_path):
    f = tmp_path / "text"
    f.write_bytes(TEXT * 1000)
    with open(f, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert TERMS.count(m, "word", threads=3) == TERMS.count_file(f, "word", threads=3)
    assert TERMS.count_file(os.fsencode(f), "word") == TERMS.count(TEXT * 1000, "word")


def numpy_or_pandas(name):
    return pytest.importorskip(name)


@pytest.mark.parametrize("make", [
    lambda: numpy_or_pandas("numpy").array(["cat", "dog dog"], dtype=object),
    lambda: numpy_or_pandas("numpy").array(["cat", "dog dog"]),
    lambda: numpy_or_pandas("numpy").array([b"cat", b"dog dog"]),
    lambda: numpy_or_pandas("pandas").Series(["cat", "dog dog"]).values,
    lambda: numpy_or_pandas("pandas").Series(["cat", "dog dog"]),
    lambda: (t for t in ["cat", "dog dog"]),
], ids=["object array", "str array", "bytes array", "Series.values", "Series", "generator"])
def test_arrays_of_texts_and_of_terms(make):
    pytest.importorskip("scipy")
    assert TERMS.count_each(make()).toarray().tolist() == [[0, 0, 1, 1], [0, 2, 0, 0]]
    assert termcount.Terms(make()).terms == (b"cat", b"dog dog")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("value", [
    "word_counts()",
    "TERMS",
    "termcount.Terms([b'Cat'], ignore_case=True)",
    "termcount.Terms([b'Cat'], ignore_case=True).count(b'cat CAT', 'word')",
], ids=["Counts", "Terms", "Terms ignoring case", "Counts ignoring case"])
def test_every_pickle_protocol_round_trips(value, protocol):
    # In a process of its own: a protocol that fails here aborts it.
    done = run_python(f"""
        import pickle, termcount
        from test_module import TERMS, word_counts
        v = {value}
        again = pickle.loads(pickle.dumps(v, protocol={protocol}))
        same = again == v if isinstance(v, termcount.Counts) else (
            (again.terms, again.ignore_case) == (v.terms, v.ignore_case)
            and again.count(b"cat CAT") == v.count(b"cat CAT"))
        reduced = v.__reduce__()
        print(same, reduced[0](*reduced[1]).terms == v.terms)
    """, env={**os.environ, "PYTHONPATH": os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")])})
    assert (done.returncode, done.stdout) == (0, "True True\n"), done.stderr


# --- refusals ----------------------------------------------------------------

class SourceError(Exception):
    pass


def failing_source():
    yield b"cat"
    raise SourceError("from the source")


@pytest.mark.parametrize("call, error, says", [
    (lambda: TERMS.count(TEXT, "ANY"), ValueError, "'any', 'word' or 'line'"),
    (lambda: TERMS.count(TEXT, mode=None), TypeError, "'any', 'word' or 'line'"),
    (lambda: TERMS.count(None), TypeError, "bytes-like or str, not NoneType"),
    (lambda: TERMS.count(7), TypeError, "not int"),
    (lambda: TERMS.count(memoryview(b"abcd")[::2]), TypeError, "contiguous"),
    (lambda: TERMS.count(pytest.importorskip("numpy").frombuffer(b"abcd", "u1")[::2]),
     TypeError, "contiguous"),
    (lambda: TERMS.count(TEXT, threads=0), ValueError, "1 or more"),
    (lambda: TERMS.count(TEXT, threads=-3), ValueError, "1 or more"),
    (lambda: TERMS.count(TEXT, threads=1.5), TypeError, "int"),
    (lambda: TERMS.count_file(__file__, threads=0), ValueError, "1 or more"),
    (lambda: TERMS.count_stream(["cat"]), TypeError, "bytes-like, not str"),
    (lambda: TERMS.count_stream([b"cat", None]), TypeError, "not NoneType"),
    (lambda: TERMS.count_stream([7]), TypeError, "not int"),
    (lambda: TERMS.count_stream(open(__file__)), TypeError, "binary file"),
    (lambda: TERMS.count_stream(5), TypeError, "not iterable"),
    (lambda: termcount.Terms([b""]), ValueError, "term 0 is empty"),
    (lambda: termcount.Terms([b"a", b"b\nc"]), ValueError, "term 1 holds a line feed"),
    (lambda: termcount.Terms([None]), TypeError, "bytes-like or str"),
    (lambda: termcount.Terms("cat"), TypeError, "not a single term"),
    (lambda: termcount.Terms(5), TypeError, "not iterable"),
    (lambda: termcount.Terms.from_file(5), TypeError, "PathLike"),
    (lambda: TERMS.count(TEXT, "any\0x"), ValueError, "not 'any.x00x'"),
    (lambda: TERMS.count(TEXT, "\udcff"), ValueError, "'any', 'word' or 'line'"),
    (lambda: TERMS.count(array.array("i", [1])), TypeError, "format 'i' .4 bytes each.: .tobytes"),
    (lambda: TERMS.count(pytest.importorskip("numpy").array(["cat"], dtype=object)),
     TypeError, "format 'O'"),
    (lambda: TERMS.count_stream([memoryview(b"cat\0").cast("I")]), TypeError, "format 'I'"),
    (lambda: termcount.Terms([array.array("Q", [1])]), TypeError, "format 'Q'"),
    (lambda: termcount.Counts.__new__(termcount.Counts).to_dict(), TypeError,
     "never initialised"),
    (lambda: word_counts() == termcount.Counts.__new__(termcount.Counts), TypeError,
     "never initialised"),
    (lambda: termcount._termcount.Stream(
        termcount._termcount.Index.__new__(termcount._termcount.Index), 0),
     TypeError, "never initialised"),
    (lambda: termcount._termcount.Stream.__new__(termcount._termcount.Stream).feed(b"a", 0, 1),
     TypeError, "never initialised"),
    (lambda: word_counts()["cat"], TypeError, "by position .* to_dict"),
    (lambda: word_counts()[1.0], TypeError, "integers, not float"),
    (lambda: TERMS.count_stream([b"cat"], threads=2), TypeError, "threads"),
    (lambda: TERMS.count(), TypeError, "text"),
    (lambda: TERMS.count(TEXT, "any", 1, 2), TypeError, "positional"),
    (lambda: TERMS.count(TEXT, "any", mode="word"), TypeError, "multiple values for argument 'mode'"),
    (lambda: termcount.Terms([b"a"], ignore_case="yes"), TypeError, "True or False"),
    (lambda: termcount.Terms([b"\xff"]).count(b"").to_dict(decode=True), UnicodeDecodeError,
     r"term 0, b'\\xff', is not UTF-8"),
    (lambda: TERMS.count_each([b"cat", "dog", 7]), TypeError, r"texts\[2\] must be bytes-like"),
    (lambda: TERMS.count_each(b"cat"), TypeError, r"not a single text"),
    (lambda: TERMS.count_file(__file__, progress=5), TypeError, "progress must be a callable"),
    (lambda: TERMS.count_files("/no such folder/*.log"), FileNotFoundError, "no such folder"),
    (lambda: TERMS.count_files(5), TypeError, "paths"),
    (lambda: TERMS.count_file(__file__, compression="gz"), ValueError, "'gzip'"),
    (lambda: TERMS.count_files(__file__, compression="zip"), ValueError, "'gzip'"),
    (lambda: TERMS.count_each(["cat", b"dog", "\udcff"]), UnicodeEncodeError, r"texts\[2\]"),
    (lambda: termcount.Terms(["cat", "\udcff"]), UnicodeEncodeError, "term 1"),
    (lambda: termcount.Terms([b"cat", 7]), TypeError, "term 1"),
    (lambda: TERMS.count(b"cat") + termcount.Terms(TERMS.terms).count(b"cat", "word"),
     ValueError, "mode"),
    (lambda: termcount.Terms([b"Cat"]).count(b"cat") +
     termcount.Terms([b"Cat"], ignore_case=True).count(b"cat"), ValueError, "ignore_case"),
    (lambda: TERMS.count(b"cat") + termcount.Terms([b"cat"]).count(b"cat"), ValueError,
     "term lists"),
    (lambda: word_counts() + 1, TypeError, "unsupported operand"),
    (lambda: (lambda f, a: f(a[0], a[1][:-1], a[2]))(*word_counts().__reduce__()),
     ValueError, "not a pickled Counts"),
    (lambda: termcount._api._counts((b"a",), bytes(8), 3), ValueError, "not a pickled Counts"),
    (lambda: termcount._api._counts(("a",), bytes(8), 0), ValueError, "not a pickled Counts"),
], ids=["unknown mode", "mode not str", "None text", "int text", "strided text",
        "strided numpy text",
        "threads 0", "threads negative", "threads float", "count_file threads 0",
        "str chunk", "None chunk", "int chunk", "text file", "not iterable source",
        "empty term", "line feed in a term", "None term", "one str for terms",
        "int for terms", "int path", "mode cut by a NUL", "mode without UTF-8",
        "int array text", "numpy object array", "wide chunk", "wide term",
        "Counts never initialised: to_dict", "==", "core index never initialised",
        "core stream never initialised", "a term for an index", "float index",
        "count_stream takes no threads", "no text", "too many arguments", "mode twice",
        "ignore_case not bool", "to_dict(decode=True) of a term not UTF-8",
        "count_each, an int text", "count_each, one text", "progress not callable",
        "count_files, a glob matching nothing", "count_files of an int",
        "compression unknown", "count_files, compression unknown",
        "count_each, a str without UTF-8", "Terms, a str without UTF-8",
        "Terms, an int term", "+ of two modes", "+ of ignore_case and not",
        "+ of two term lists", "+ of an int but 0", "a pickle cut short",
        "a pickle of no mode", "a pickle of str terms"])
def test_bad_input_is_refused(call, error, says):
    with pytest.raises(error, match=says):
        call()


@pytest.mark.parametrize("how", ["from_file", "count_file", "count_files"])
@pytest.mark.parametrize("path, error, code", [
    ("missing", FileNotFoundError, errno.ENOENT),
    ("folder", IsADirectoryError, errno.EISDIR),
], ids=["missing", "folder"])
def test_files_that_cannot_be_read(tmp_path, how, path, error, code):
    target = tmp_path / path
    if path == "folder":
        target.mkdir()
    call = {"from_file": termcount.Terms.from_file, "count_file": TERMS.count_file,
            "count_files": lambda p: TERMS.count_files([__file__, p, __file__])}[how]
    with pytest.raises(error) as e:
        call(target)
    assert e.value.errno == code and e.value.filename == str(target)


@pytest.mark.parametrize("data, terms", [
    (b"", []),
    (b"\n\n", []),
    (b"a\r\n\nb\0c\nd", [b"a\r", b"b", b"d"]),
    (b"x" * 1048575 + b"\n", [b"x" * 1048575]),
    (b"x" * 1048576 + b"y" * 1048575 + b"z\n", [b"x" * 1048575, b"x" + b"y" * 1048574,
                                               b"yz"]),
    (b"x" * 1048575 + b"\0\n", [b"x" * 1048575]),
], ids=["empty", "empty lines", "CR kept, NUL cuts, no last line feed",
        "the longest line", "longer lines in pieces", "a NUL past a piece"])
def test_a_search_file_reads_by_the_programs_rules(tmp_path, data, terms):
    f = tmp_path / "terms"
    f.write_bytes(data)
    assert list(termcount.Terms.from_file(f).terms) == terms


@pytest.mark.parametrize("module, call, says", [
    ("scipy.sparse", lambda: TERMS.count_each([TEXT]), "python3-scipy, or pip install scipy"),
    ("tqdm", lambda: TERMS.count_file(__file__, progress=True),
     "python3-tqdm, or pip install tqdm"),
    ("pandas", lambda: word_counts().to_pandas(), "python3-pandas, or pip install pandas"),
], ids=["count_each without SciPy", "a bar without tqdm", "to_pandas without pandas"])
def test_a_missing_module_is_named_with_its_packages(monkeypatch, module, call, says):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=says):
        call()


@pytest.mark.parametrize("made, pattern, counted",
                         [pytest.param(*row[1:], id=row[0]) for row in GLOBS])
def test_which_files_a_pattern_means(tmp_path, monkeypatch, made, pattern, counted):
    terms = termcount.Terms(make_files(tmp_path, made))
    monkeypatch.chdir(tmp_path)
    if isinstance(counted, type):
        with pytest.raises(counted) as e:
            terms.count_files(pattern)
        assert e.value.filename in [pattern] + [n.rstrip("/") for n in made]
        return
    want = sum(terms.count(open(f, "rb").read()) for f in counted)
    assert terms.count_files(pattern) == want
    assert terms.count_files(str(tmp_path / pattern)) == want


def test_a_module_that_fails_to_load_keeps_its_cause(tmp_path, monkeypatch):
    # A SciPy that is there but cannot load, as with a library it lacks.
    (tmp_path / "scipy").mkdir()
    (tmp_path / "scipy" / "__init__.py").write_text("raise ImportError('libgfortran.so.5')")
    for name in [m for m in sys.modules if m == "scipy" or m.startswith("scipy.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ImportError, match="libgfortran") as e:
        TERMS.count_each([TEXT])
    assert "apt-get" not in str(e.value)


@pytest.mark.parametrize("call, total", [
    (lambda t, f, tell: t.count_file(f, threads=1, progress=tell), 4 << 20),
    (lambda t, f, tell: t.count_file(f, threads=2, progress=tell), 4 << 20),
    (lambda t, f, tell: t.count_files([f, f], progress=tell), 8 << 20),
    (lambda t, f, tell: t.count_each([b"a b\n"] * 1000, progress=tell), 1000),
], ids=["count_file", "count_file, 2 threads", "count_files", "count_each"])
def test_a_callable_hears_the_count_finish(tmp_path, call, total):
    f = tmp_path / "text"
    f.write_bytes(b"a b\n" * (1 << 20))
    told = []
    call(termcount.Terms([b"a"]), f, lambda done, of: told.append((done, of)))
    assert told[-1] == (total, total)


COMPRESSED = compressors()
BODY = b"the cat sat\nconcat\n" * 70000 + b"the end"


@pytest.mark.parametrize("how, times", [
    (lambda t, f: t.count_file(f), 1),
    (lambda t, f: t.count_file(f, threads=2, compression="infer"), 1),
    (lambda t, f: t.count_files([f, f]), 2),
    (lambda t, f: t.count_files(f, threads=1, progress=lambda done, total: None), 1),
], ids=["count_file", "count_file, 2 threads", "count_files", "count_files, progress"])
@pytest.mark.parametrize("suffix", list(COMPRESSED))
def test_a_compressed_file_counts_as_its_text(tmp_path, suffix, how, times):
    f = tmp_path / ("text" + suffix)
    f.write_bytes(COMPRESSED[suffix](BODY))
    terms = termcount.Terms([b"the", b"cat", b"the cat"])
    assert how(terms, f) == sum([terms.count(BODY)] * times)
    assert terms.count_file(f, compression=None) == terms.count(f.read_bytes())
    named = tmp_path / "named.log"
    named.write_bytes(f.read_bytes())
    given = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}[suffix]
    assert terms.count_files([named], compression=given) == terms.count(BODY)


@pytest.mark.parametrize("name, data, error, code", [
    ("empty.gz", b"", EOFError, None),
    ("empty.zst", b"", EOFError, None),
    ("cut.gz", COMPRESSED[".gz"](BODY)[:-9], EOFError, None),
    ("cut.bz2", COMPRESSED[".bz2"](BODY)[:-1], EOFError, None),
    ("cut.xz", COMPRESSED[".xz"](BODY)[:-1], EOFError, None),
    ("plain.gz", BODY, OSError, errno.EBADMSG),
    ("junk after.xz", COMPRESSED[".xz"](BODY) + b"junk" * 8, OSError, errno.EBADMSG),
], ids=["empty gz", "empty zst", "truncated gz", "truncated bz2", "truncated xz",
        "not gzip", "junk after xz"])
@pytest.mark.parametrize("count", ["count_file", "count_files"])
def test_a_compressed_file_that_holds_no_whole_stream_raises_naming_it(
        tmp_path, count, name, data, error, code):
    if name.endswith(".zst") and ".zst" not in COMPRESSED:
        pytest.skip("needs zstd")
    f = tmp_path / name
    f.write_bytes(data)
    ok = tmp_path / "ok.gz"
    ok.write_bytes(COMPRESSED[".gz"](BODY))
    call = {"count_file": lambda: TERMS.count_file(f),
            "count_files": lambda: TERMS.count_files([ok, f, ok], threads=2)}[count]
    with pytest.raises(error) as e:
        call()
    assert e.value.filename == str(f) and getattr(e.value, "errno", None) == code


class Stop(Exception):
    pass


@pytest.mark.parametrize("call, total", [
    (lambda t, zeros, tell: t.count_file(zeros, threads=2, progress=tell), 16 << 30),
    (lambda t, zeros, tell: t.count_files([zeros, zeros], progress=tell), 32 << 30),
    (lambda t, zeros, tell: t.count_each([b"a" * 1000] * 2000000, progress=tell), 2000000),
], ids=["count_file", "count_files", "count_each"])
def test_progress_is_told_on_the_calling_thread(tmp_path, call, total):
    # Seconds of counting at the least; the first report stops it.
    zeros = sparse_zeros(tmp_path / "zeros")
    told = []

    def tell(done, of):
        told.append((done, of, threading.get_ident()))
        raise Stop

    with pytest.raises(Stop):
        call(termcount.Terms([b"b"]), zeros, tell)
    assert [(of, ident) for _, of, ident in told] == [(total, threading.get_ident())]
    assert 0 <= told[0][0] <= total


def test_a_bar_gives_the_same_counts():
    pytest.importorskip("tqdm")
    assert TERMS.count_file(__file__, progress=True) == TERMS.count_file(__file__)


def test_a_source_exception_propagates_unchanged():
    source = failing_source()
    with pytest.raises(SourceError, match="from the source"):
        TERMS.count_stream(source)


def run_python(code, **kw):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60, **kw)


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_a_read_error_raises(tmp_path):
    # Under 1 MiB, so that the file is read, not mapped: its reads fail.
    f = tmp_path / "text"
    f.write_bytes(TEXT * 40000)
    done = subprocess.run(
        ["strace", "-f", "-o", os.devnull, "-P", str(f), "-e", "inject=pread64:error=EIO",
         sys.executable, "-c",
         f"import termcount; termcount.Terms([b'cat']).count_file({str(f)!r}, threads=1)"],
        capture_output=True, text=True, timeout=60, env=os.environ)
    assert done.returncode == 1
    assert "OSError: [Errno 5] Input/output error: " + repr(str(f)) in done.stderr


def sparse_zeros(path):
    """16 GiB of zero pages, which cost no disk, with a line feed in every
    64 MiB for threads to cut at: seconds of counting at the least."""
    with open(path, "wb") as f:
        for at in range(0, 16 << 30, 64 << 20):
            f.seek(at)
            f.write(b"\n")
        f.truncate(16 << 30)
    return path


@pytest.mark.parametrize("threads", [1, 2])
def test_a_file_that_shrinks_under_a_count_raises(tmp_path, threads):
    # Cut down to 1 MiB by another process while the count reads it.
    path = sparse_zeros(tmp_path / "zeros")
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import termcount
        print("counting", flush=True)
        try:
            print(list(termcount.Terms([b"a"]).count_file({str(path)!r}, threads={threads})))
        except OSError as e:
            print(e.errno, e.filename)
    """)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "counting\n"
        time.sleep(0.5)
        subprocess.run(["truncate", "-s", "1M", str(path)], check=True, timeout=60)
        child.wait(timeout=120)
        assert child.stdout.read() == f"{errno.ESTALE} {path}\n"
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


def test_daemon_threads_counting_at_exit_let_python_exit(tmp_path):
    path = tmp_path / "text"
    path.write_bytes(b"ab\n" * (1 << 20))
    code = textwrap.dedent(f"""
        import threading, time, termcount
        terms = termcount.Terms([b"a" * 50, b"ab"])
        text = b"ab\\n" * (1 << 21)
        listed = [b"x%d" % i for i in range(100000)]
        calls = [lambda: terms.count(text, threads=2),
                 lambda: terms.count_file({str(path)!r}, threads=2),
                 lambda: termcount.Terms(listed),
                 lambda: terms.count_stream([text[:1000]] * 2000),
                 # Python code run inside a call, which may drop the GIL
                 # there: the first count_each imports SciPy.
                 lambda: terms.count_each(t for t in [text[:100]] * 2000),
                 lambda: termcount.Terms(t for t in listed)]

        def work(call):
            while True:
                call()

        for call in calls:
            threading.Thread(target=work, args=(call,), daemon=True).start()
        time.sleep(0.3)
    """)
    # Each run is a race between the threads and the interpreter's exit.
    for _ in range(5):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True,
                              text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.skipif(SANITIZED, reason="the sanitizers need more address space")
def test_an_index_that_cannot_be_built_raises_memory_error():
    done = run_python("""
        import resource, termcount
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            # The index is compiled for a mode when a count first asks; this
            # one has about 98 million states, 13 bytes each in its smaller
            # form.
            termcount.Terms([b"%d" % i * 200 for i in range(100000)]).count(b"1")
        except MemoryError:
            print("MemoryError")
    """, env=os.environ)
    assert done.stdout == "MemoryError\n", done.stderr


# --- threads and signals -----------------------------------------------------

@pytest.mark.skipif(SANITIZED, reason="the sanitizers need more address space")
def test_threads_past_the_cores_take_no_more_memory():
    # A thread's stack and counters for each of 1000 threads would pass
    # the limit; as many threads as cores fit in it.
    done = run_python("""
        import resource, termcount
        terms = termcount.Terms([b"w%07d" % (i * 7919 % 10**7) for i in range(100000)])
        text = b"w1 w2\\n" * (12 << 20)
        want = list(terms.count(text, threads=1))
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        print(list(terms.count(text, threads=1000)) == want)
    """, env=os.environ)
    assert (done.returncode, done.stdout) == (0, "True\n"), done.stderr


def test_eight_threads_share_one_terms_while_the_main_thread_runs(tmp_path):
    text = b"the cat sat on the mat\nconcat cat\n" * 1200000
    f = tmp_path / "text"
    f.write_bytes(text)
    terms = termcount.Terms([b"cat", b"the", b"at", b"mat"])
    want = {m: terms.count(text, m) for m in ("any", "word", "line")}
    # Decoded here: a decode in a call would hold the GIL while others count.
    decoded = text.decode()
    calls = [lambda m=m: terms.count(text, m, threads=2) for m in want] + \
            [lambda m=m: terms.count_file(f, m, threads=1) for m in want] + \
            [lambda: terms.count_stream(open(f, "rb"), "word"),
             lambda: terms.count(decoded, "any")]
    modes = list(want) * 2 + ["word", "any"]
    results, spans = [None] * len(calls), [None] * len(calls)
    go = threading.Event()

    def work(i):
        go.wait(timeout=60)
        start = time.monotonic()
        results[i] = calls[i]()
        spans[i] = (start, time.monotonic())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    # A count that held the GIL would keep this loop from running while it
    # counts: every count must see the loop tick.
    go.set()
    ticks = []
    while any(t.is_alive() for t in threads):
        ticks.append(time.monotonic())
    for t in threads:
        t.join(timeout=120)
    assert [r == want[m] for r, m in zip(results, modes)] == [True] * len(calls)
    assert [any(a < t < b for t in ticks) for a, b in spans] == [True] * len(calls)


@pytest.mark.parametrize("call", [
    "terms.count(text)",
    "terms.count(text, threads=2)",
    "terms.count_file('/dev/zero')",
    "terms.count_stream(iter(lambda: chunk, None))",
    "terms.count_file('/dev/stdin')",
    "termcount.Terms(listed)",
    "termcount.Terms.from_file(many)",
    "termcount.Terms.from_file('/dev/stdin')",
], ids=["count", "count, 2 threads", "count_file", "count_stream",
        "count_file, a pipe whose writer stays open", "Terms", "from_file",
        "from_file, a pipe whose writer stays open"])
def test_ctrl_c_interrupts_a_long_count(tmp_path, call):
    # Seconds of scanning at the least: 16 GiB of zero pages, which cost no
    # memory to read, with a line feed in every MiB for the threads to cut
    # at; an endless file, an endless stream, a pipe that never ends. Loads
    # are short, so they run again and again: got stays None only if the
    # call itself raised, not Python after it.
    many = tmp_path / "many"
    many.write_bytes(b"\n".join(b"term %d" % i for i in range(200000)))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import mmap, sys, termcount
        terms = termcount.Terms([b"a" * 1000, b"a"])
        text = mmap.mmap(-1, 16 << 30)
        for at in range(0, len(text), 1 << 20):
            text[at] = 10
        chunk = bytes(1 << 20)
        many = {str(many)!r}
        listed = open(many, "rb").read().split(b"\\n")
        print("counting", flush=True)
        try:
            while True:
                got = None
                got = {call}
        except KeyboardInterrupt:
            print("interrupted" if got is None else "between calls", flush=True)
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "counting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        # Its standard input stays open: the pipe never ends. The bound
        # only catches a hang; how soon a count stops is measured in bench.
        child.wait(timeout=60)
        assert child.stdout.read() == "interrupted\n"
    finally:
        child.kill()
        child.wait()
        child.stdin.close()
        child.stdout.close()


def wait_until_open(pid, path):
    """Waits, boundedly, until process `pid` has `path` open."""
    fds = f"/proc/{pid}/fd"
    for _ in range(600):
        try:
            if any(os.readlink(os.path.join(fds, fd)) == str(path) for fd in os.listdir(fds)):
                return
        except OSError:
            pass
        time.sleep(0.1)
    raise AssertionError(f"{path} was never opened")


def wait_until_asleep(pid):
    """Waits, boundedly, until process `pid` sleeps, as in a wait on a pipe."""
    for _ in range(600):
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "S":
                return
        time.sleep(0.1)
    raise AssertionError(f"{pid} never slept")


@pytest.mark.parametrize("writer", ["none", "silent"])
@pytest.mark.parametrize("how", ["count_files", "python -m termcount", "from_file"])
def test_ctrl_c_stops_a_wait_on_a_pipe_among_files(tmp_path, how, writer):
    # A thread of the count waits on the pipe, for a writer or for bytes
    # that never come, while the regular files are counted on the other.
    small = tmp_path / "small"
    small.write_bytes(TEXT * 1000)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    terms = tmp_path / "terms"
    terms.write_bytes(b"cat\n")
    paths = [str(small), str(fifo), str(small)]
    call = {"count_files": f"termcount.Terms([b'cat']).count_files({paths!r}, threads=2)",
            "from_file": f"termcount.Terms.from_file({str(fifo)!r})"}.get(how)
    if call is not None:
        args = [sys.executable, "-c", textwrap.dedent(f"""
            import termcount
            print("counting", flush=True)
            try:
                {call}
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """)]
    else:
        args = [sys.executable, "-m", "termcount", str(terms), "any", "--threads", "2", *paths]
    # Open for reading and writing, a pipe opens at once and holds a writer.
    held = os.open(fifo, os.O_RDWR) if writer == "silent" else None
    child = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    try:
        if call is not None:
            assert child.stdout.readline() == "counting\n"
        if how == "from_file":
            # A wait for a writer is in open(), before the pipe is open.
            wait_until_asleep(child.pid)
        else:
            wait_until_open(child.pid, fifo)
        child.send_signal(signal.SIGINT)
        # The bound only catches a hang.
        child.wait(timeout=60)
        if call is not None:
            assert child.stdout.read() == "interrupted\n"
        else:
            assert child.returncode == -signal.SIGINT
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
        if held is not None:
            os.close(held)
