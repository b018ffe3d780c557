"""python3 -m termcount beside the termcount program, both as processes:
the same reports, messages and exit statuses for the same runs. Over files,
the program counts each file on its own and the reports are added up."""
import os
import subprocess
import sys
from dataclasses import dataclass, field
from typing import List, Optional

import pytest

import termcount
from cases import GLOBS, compressors, make_files

SEARCH = b"cat\nat\nNew York\n\ncat\nx\r\n"
FILES = {
    "a": b"concat at New York\ncat cats. at\nx\r\n",
    "b": b"at cat\nNew York",
    "empty": b"",
    "noterms": b"",
}


@dataclass
class Case:
    name: str
    args: List[str]          # {name} is the path of FILES[name], {dir} a folder
    stdin: object = b""      # bytes through a pipe, "{a}" a file, or how to open it
    stdout: str = "pipe"     # or "full": /dev/full
    # What the program cannot say for the module: (status, stdout, stderr).
    want: Optional[tuple] = None
    needs: List[str] = field(default_factory=list)
    no_tqdm: bool = False    # run where tqdm fails to import


USAGE_TAIL = b"\n\nmode = any, word or line. default is any\n"

CASES = [
    # Standard input, as the program reads it.
    Case("default mode", ["{terms}"], FILES["a"]),
    Case("word", ["{terms}", "word"], FILES["a"]),
    Case("line", ["{terms}", "line"], FILES["a"]),
    Case("empty input", ["{terms}", "any"], b""),
    Case("no terms", ["{noterms}", "word"], FILES["a"]),
    Case("threads", ["--threads", "3", "{terms}", "word"], FILES["a"]),
    Case("stdin a regular file", ["--threads=2", "{terms}", "any"], "{a}"),
    Case("stdin open only for writing", ["{terms}"], "write-only"),
    Case("stdin closed", ["{terms}", "line"], "closed"),
    Case("no terms, stdin closed", ["{noterms}"], "closed"),
    Case("output full", ["{terms}"], FILES["a"], stdout="full"),
    Case("invalid mode", ["{terms}", "words"]),
    Case("mode checked before the file", ["{missing}", "bad"]),
    Case("missing search file", ["{missing}"]),
    Case("search file a folder", ["{dir}", "any"]),
    # Files, added up.
    Case("one file", ["{terms}", "word", "{a}"]),
    Case("two files", ["{terms}", "any", "{a}", "{b}"], needs=["count_files"]),
    Case("a file twice and an empty one", ["--threads", "1", "{terms}", "line", "{a}",
                                           "{empty}", "{a}"], needs=["count_files"]),
    Case("progress", ["--progress", "{terms}", "word", "{a}"], needs=["tqdm", "progress"]),
    # What only the module has.
    Case("missing input file", ["{terms}", "any", "{a}", "{missing}"],
         want=(5, b"", b'Failed to open file "{missing}" error 2: No such file or directory\n')),
    Case("input file a folder", ["{terms}", "any", "{dir}"],
         want=(5, b"", b'Failed to read file "{dir}" error 21: Is a directory\n')),
    Case("no arguments", [], want=(1, b"", USAGE_TAIL)),
    Case("threads 0", ["--threads", "0", "{terms}"], want=(1, b"", USAGE_TAIL)),
    Case("threads missing", ["{terms}", "--threads"], want=(1, b"", USAGE_TAIL)),
    Case("unknown option", ["-x", "{terms}"], want=(1, b"", USAGE_TAIL)),
    Case("threads past any machine", ["--threads", "99999999999999999999", "{terms}"],
         want=(1, b"", USAGE_TAIL)),
    Case("threads a digit not ASCII", ["--threads", "\u00b2", "{terms}"],
         want=(1, b"", USAGE_TAIL)),
    Case("progress without tqdm", ["--progress", "{terms}", "any", "{a}"],
         want=(1, b"", USAGE_TAIL), no_tqdm=True),
    Case("help", ["--help"], want=(0, b"searchfile [mode] [file ...]", b"")),
]


def paths_of(tmp_path):
    paths = {"terms": tmp_path / "terms", "dir": tmp_path, "missing": tmp_path / "missing"}
    paths["terms"].write_bytes(SEARCH)
    for name, data in FILES.items():
        paths[name] = tmp_path / name
        paths[name].write_bytes(data)
    return {k: str(v) for k, v in paths.items()}


def stdin_of(stdin, paths):
    """(stdin argument, input bytes, fd to close afterwards) for subprocess."""
    if isinstance(stdin, bytes):
        return None, stdin, None
    if stdin == "write-only":
        fd = os.open(paths["a"], os.O_WRONLY | os.O_APPEND)
    elif stdin == "closed":
        return None, None, None
    else:
        fd = os.open(stdin.format(**paths), os.O_RDONLY)
    return fd, None, fd


# The runs start in a folder of their own, so relative paths of this one are
# made absolute.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)}


def without_tqdm(folder):
    """An environment whose tqdm fails to import."""
    (folder / "blocker").mkdir(exist_ok=True)
    (folder / "blocker" / "tqdm.py").write_text("raise ImportError('no tqdm here')\n")
    return {**ENV, "PYTHONPATH": os.pathsep.join([str(folder / "blocker"), ENV["PYTHONPATH"]])}


def run(argv, stdin, paths, stdout, cwd, env=ENV):
    where, data, fd = stdin_of(stdin, paths)
    given = {"input": data} if data is not None else {"stdin": where}
    out = open(os.devnull if stdout == "pipe" else "/dev/full", "wb")
    try:
        done = subprocess.run(
            argv, **given, stderr=subprocess.PIPE, cwd=cwd, env=env, timeout=60,
            stdout=subprocess.PIPE if stdout == "pipe" else out,
            preexec_fn=(lambda: os.close(0)) if stdin == "closed" else None)
    finally:
        out.close()
        if fd is not None:
            os.close(fd)
    return done.returncode, done.stdout or b"", done.stderr


def add_reports(reports):
    """The report of the counts of several reports of one search file."""
    rows = [r.split(b"\n")[:-1] for r in reports]
    summed = []
    for row in zip(*rows):
        count, term = zip(*(line.split(b" ", 1) for line in row))
        summed.append(b"%d %s\n" % (sum(map(int, count)), term[0]))
    return b"".join(summed)


def program(termcount_bin, case, paths, cwd):
    """What the termcount program does for the case: its options dropped,
    and the named files each counted on its own and added up."""
    termcount_bin = os.path.abspath(termcount_bin)
    words = [a for a in case.args if not a.startswith("--")]
    if "--threads" in case.args:
        words.remove(case.args[case.args.index("--threads") + 1])
    words = [w.format(**paths) for w in words]
    if len(words) <= 2:
        return run([termcount_bin, *words], case.stdin, paths, case.stdout, cwd)
    runs = [run([termcount_bin, *words[:2]], "{%s}" % name, paths, case.stdout, cwd)
            for name in (a.strip("{}") for a in case.args[-(len(words) - 2):])]
    assert all(r[0] == 0 for r in runs), runs
    return 0, add_reports([r[1] for r in runs]), b""


def missing(needs):
    for need in needs:
        if need == "tqdm":
            try:
                import tqdm  # noqa: F401
            except ImportError:
                return "no tqdm"
        elif need == "progress":
            if "progress" not in (termcount.Terms.count_file.__doc__ or ""):
                return "count_file takes no progress in this build"
        elif not hasattr(termcount.Terms, need):
            return f"Terms.{need} is not in this build"
    return None


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_like_the_program(case, tmp_path, termcount_bin):
    reason = missing(case.needs)
    if reason:
        pytest.skip(reason)
    paths = paths_of(tmp_path)
    argv = [sys.executable, "-m", "termcount", *(a.format(**paths) for a in case.args)]
    env = without_tqdm(tmp_path) if case.no_tqdm else ENV
    status, out, err = run(argv, case.stdin, paths, case.stdout, tmp_path, env)
    if case.want is None:
        want_status, want_out, want_err = program(termcount_bin, case, paths, tmp_path)
        assert (status, out) == (want_status, want_out), err
        if "--progress" not in case.args:  # the bar goes to standard error
            assert err == want_err
        return
    want_status, want_out, want_err = case.want
    assert status == want_status, err
    assert want_out in out
    if want_err == USAGE_TAIL:
        assert err.startswith(b"usage: ") or b"\nusage: " in err, err
        assert err.endswith(USAGE_TAIL), err
    else:
        assert err == want_err.replace(b"{missing}", paths["missing"].encode()) \
                              .replace(b"{dir}", paths["dir"].encode())


@pytest.mark.parametrize("core, says", [
    (None, "is not built"),
    ("_termcount.cpython-399-x86_64-linux-gnu.so", "was built for Python 3.99, not for this Python"),
], ids=["no core", "core for another Python"])
def test_import_names_the_python_a_core_was_built_for(tmp_path, core, says):
    package = tmp_path / "termcount"
    package.mkdir()
    source = os.path.dirname(termcount.__file__)
    (package / "__init__.py").write_bytes(open(os.path.join(source, "__init__.py"), "rb").read())
    if core:
        (package / core).write_bytes(b"")
    done = subprocess.run([sys.executable, "-c", "import termcount"], cwd=tmp_path,
                          env={**os.environ, "PYTHONPATH": str(tmp_path)},
                          capture_output=True, timeout=60)
    assert done.returncode == 1
    assert says.encode() in done.stderr and b"-DPython_EXECUTABLE=" in done.stderr, done.stderr


@pytest.mark.parametrize("made, pattern, counted",
                         [pytest.param(*row[1:], id=row[0]) for row in GLOBS])
def test_which_files_a_pattern_means(tmp_path, made, pattern, counted):
    terms = make_files(tmp_path, made)
    (tmp_path / "terms").write_bytes(b"".join(t + b"\n" for t in terms))
    status, out, err = run([sys.executable, "-m", "termcount", "terms", "any", pattern],
                           b"", {}, "pipe", tmp_path)
    if isinstance(counted, type):
        assert (status, out) == (5, b"") and b"Failed to " in err, err
        return
    index = termcount.Terms(terms)
    want = sum(index.count((tmp_path / f).read_bytes()) for f in counted)
    assert (status, out, err) == (0, want.report(), b"")


@pytest.mark.parametrize("suffix", list(compressors()))
@pytest.mark.parametrize("raw", [False, True], ids=["decompressed", "--raw"])
def test_a_compressed_file_counts_as_the_program_counts_its_text(tmp_path, termcount_bin,
                                                                 suffix, raw):
    paths = paths_of(tmp_path)
    packed = tmp_path / ("a" + suffix)
    packed.write_bytes(compressors()[suffix](FILES["a"] * 1000))
    (tmp_path / "plain").write_bytes(FILES["a"] * 1000)
    argv = [sys.executable, "-m", "termcount", *(["--raw"] if raw else []),
            paths["terms"], "word", str(packed)]
    got = run(argv, b"", paths, "pipe", tmp_path)
    text = str(packed) if raw else str(tmp_path / "plain")
    want = run([os.path.abspath(termcount_bin), paths["terms"], "word"], "{x}",
               {**paths, "x": text}, "pipe", tmp_path)
    assert got == want


@pytest.mark.parametrize("data, says", [
    (b"", b"ends inside a compressed stream"),
    (b"not gzip at all\n", b"error 74: "),
], ids=["empty", "not gzip"])
def test_a_compressed_file_that_holds_no_whole_stream_fails_naming_it(tmp_path, data, says):
    paths = paths_of(tmp_path)
    bad = tmp_path / "bad.gz"
    bad.write_bytes(data)
    status, out, err = run([sys.executable, "-m", "termcount", paths["terms"], "any",
                            paths["a"], str(bad)], b"", paths, "pipe", tmp_path)
    assert (status, out) == (5, b"") and says in err and str(bad).encode() in err, err
