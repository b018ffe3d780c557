"""python3 -m termcount: the termcount program's report, counted on every core.

    python3 -m termcount [--threads N] [--progress] [--raw] searchfile [mode] [file ...]

With no file named it counts standard input, as the program does; with
files it adds up their counts, each file counted as a text of its own, the
text of a .gz, .bz2, .xz or .zst file decompressed unless --raw is given.
Reports, messages and exit statuses are the program's: 1 usage, 2 mode,
3 search file, 4 memory, 5 input, 6 output.
"""
import fcntl
import os
import signal
import stat
import sys

from . import Terms
from ._api import expand_paths

MODES = ("any", "word", "line")
READ_SIZE = 1 << 20
# More threads than this is surely a slip; a count takes no more threads
# than the cores anyway.
MAX_THREADS = 1 << 16


def _name():
    return (os.path.basename(sys.executable) or "python3") + " -m termcount"


def _usage():
    return (f"usage: {_name()} [--threads N] [--progress] [--raw] searchfile [mode] [file ...]\n\n"
            "mode = any, word or line. default is any\n")


HELP = """
Counts, for every term of searchfile (one term per line), its occurrences in
standard input, or in the named files added up, and writes one "COUNT TERM"
line per term in the order of the file: the termcount program's report.

  --threads N   count on N threads (default: every core this process may use)
  --progress    show a progress bar on standard error while files, or a
                regular file on standard input, are counted (needs tqdm)
  --raw         count the bytes of compressed files as they are, rather
                than the text of a file named .gz, .bz2, .xz or .zst
  --help        show this help

The mode comes before the files: "any" to name files with the default.
Files, and a regular file on standard input, are counted on every core; a
pipe is read as it comes, on one.
"""


class Failure(Exception):
    """A run stopped with a message for standard error and an exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def _say(message):
    """Writes a message to standard error, paths in their own bytes; a
    standard error that cannot take it is not reported anywhere else."""
    data = message.encode("utf-8", "surrogateescape")
    try:
        while data:
            data = data[os.write(2, data):]
    except OSError:
        pass


def _parse(argv):
    """(threads, progress, raw, help, positionals) from the arguments;
    options may come anywhere before a "--"."""
    threads, progress, raw, want_help, rest = None, False, False, False, []
    args = iter(argv)
    for arg in args:
        if arg == "--":
            rest.extend(args)
        elif arg in ("-h", "--help"):
            want_help = True
        elif arg == "--progress":
            progress = True
        elif arg == "--raw":
            raw = True
        elif arg == "--threads" or arg.startswith("--threads="):
            value = arg.partition("=")[2] if "=" in arg else next(args, "")
            # ASCII digits only: str.isdigit() takes "²", which int() does not.
            if not (value.isascii() and value.isdigit()) or not 1 <= int(value) <= MAX_THREADS:
                raise Failure(1, f"{_name()}: --threads needs a number from 1 to "
                                 f"{MAX_THREADS}, not {value!r}\n" + _usage())
            threads = int(value)
        elif arg.startswith("-") and arg != "-":
            raise Failure(1, f"{_name()}: unknown option {arg!r}\n" + _usage())
        else:
            rest.append(arg)
    return threads, progress, raw, want_help, rest


def _file_fault(what, path, e):
    return f'Failed to {what} file "{path}" error {e.errno}: {e.strerror}\n'


def _failed(e, status, path=None):
    """The Failure for an OSError of a load or a count, which tells a file
    that could not be opened from one that could not be read."""
    what = "open" if getattr(e, "opening", False) else "read"
    return Failure(status, _file_fault(what, path or e.filename, e))


def _load(path):
    try:
        return Terms.from_file(path)
    except MemoryError:
        raise Failure(4, "tree_create failed\n") from None
    except OSError as e:
        raise _failed(e, 3, path) from None


def _stdin_chunks(failed):
    """Standard input in chunks, until its end or a read error, which is
    appended to `failed`: the program reports what it read before one."""
    while True:
        try:
            chunk = os.read(0, READ_SIZE)
        except OSError as e:
            failed.append(e)
            return
        if not chunk:
            return
        yield chunk


def _stdin_is_whole_file():
    """Whether standard input is a regular file open for reading at its
    start, which count_file may open again and cut among threads."""
    try:
        readable = (fcntl.fcntl(0, fcntl.F_GETFL) & os.O_ACCMODE) != os.O_WRONLY
        return (readable and stat.S_ISREG(os.fstat(0).st_mode)
                and os.lseek(0, 0, os.SEEK_CUR) == 0)
    except OSError:
        return False


def _count_stdin(terms, mode, how):
    """The counts of standard input, and the read error that ended it, if
    any. With no term, mode "any" reads nothing, as the program does."""
    if len(terms) == 0 and mode == "any":
        return terms.count(b"", mode), None
    if _stdin_is_whole_file():
        try:
            return terms.count_file("/dev/stdin", mode, compression=None, **how), None
        except OSError:
            os.lseek(0, 0, os.SEEK_SET)  # read it again as a stream, to its error
    failed = []
    counts = terms.count_stream(_stdin_chunks(failed), mode)
    return counts, (failed[0] if failed else None)


def _count_files(terms, mode, named, how):
    """The counts of the files that the arguments name, by the rule of
    Terms.count_files: the file that exists, else a glob's matches."""
    try:
        files = expand_paths(named)
    except FileNotFoundError as e:
        raise Failure(5, _file_fault("open", e.filename, e)) from None
    except OSError as e:
        raise Failure(5, _file_fault("read", e.filename, e)) from None
    try:
        if len(files) == 1:
            return terms.count_file(files[0], mode, **how)
        return terms.count_files(files, mode, **how)
    except EOFError as e:
        raise Failure(5, f'Failed to read file "{e.filename}": it ends inside a '
                         "compressed stream, or holds none\n") from None
    except OSError as e:
        raise _failed(e, 5) from None


def _write(data):
    """Writes all of `data` to standard output. Returns 0 or the errno."""
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(1, view):]
    except OSError as e:
        return e.errno
    return 0


def _run(argv):
    threads, progress, raw, want_help, rest = _parse(argv)
    if want_help:
        sys.stdout.write(_usage() + HELP)
        return 0
    if not rest:
        raise Failure(1, _usage())
    mode = rest[1] if len(rest) > 1 else "any"
    if mode not in MODES:
        raise Failure(2, "invalid mode\n")
    if progress:
        try:
            import tqdm  # noqa: F401 - the bar's, checked before anything is read
        except ImportError as e:
            raise Failure(1, f"{_name()}: --progress needs tqdm ({e}): apt-get install "
                             "python3-tqdm, or pip install tqdm\n" + _usage()) from None
    terms = _load(rest[0])
    how = {"threads": threads, "progress": True} if progress else {"threads": threads}
    try:
        if len(rest) > 2:
            compression = None if raw else "infer"
            counts = _count_files(terms, mode, rest[2:], {**how, "compression": compression})
            read_error = None
        else:
            counts, read_error = _count_stdin(terms, mode, how)
    except MemoryError:
        raise Failure(4, "tree_create failed\n") from None
    status, write_error = 0, _write(counts.report())
    if read_error is not None:
        _say(f"Failed to read input error {read_error.errno}: {read_error.strerror}\n")
        status = 5
    if write_error:
        _say(f"Failed to write output error {write_error}: {os.strerror(write_error)}\n")
        status = status or 6
    return status


def main(argv=None):
    """Runs the command with `argv` (default: sys.argv[1:]) and returns its
    exit status."""
    # A closed pipe ends the run quietly, as it ends the program.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        return _run(sys.argv[1:] if argv is None else argv)
    except Failure as f:
        _say(f.message)
        return f.status
    except KeyboardInterrupt:
        # Ended by the signal, as the program is, so that the shell knows.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        return 130


if __name__ == "__main__":
    sys.exit(main())
