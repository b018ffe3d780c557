"""Random search files and texts, drawn as the sharded C++ test draws them:
duplicates, carriage returns, NUL-cut lines, empty lines, no final line
feed; and the terms a search file holds, read by the rules directly."""

MODES = ("any", "word", "line")
ALPHABETS = (b"ab\n", b"a b\n\n", b"ab\n\r\0\xff", b"x1-_ Y\n")


def random_line(rng, text, earlier, abc):
    """A search file line, as sharded.cpp's randomLine makes them."""
    kind = rng.randrange(8)
    n = 1 + rng.randrange(8)
    if kind == 0:
        return b""
    if kind in (1, 2) and earlier:
        return rng.choice(earlier)
    if kind in (1, 2, 3, 4) and text:
        at = rng.randrange(len(text))
        return text[at:at + n].split(b"\n")[0]
    line = bytes(rng.choice(abc) for _ in range(n))
    if rng.randrange(4) == 0:
        line += b"\r" if rng.randrange(2) else b"\0tail"
    return line


def draw(rng):
    abc = rng.choice(ALPHABETS)
    text = bytes(rng.choice(abc) for _ in range(rng.randrange(200)))
    if rng.randrange(100) == 0:
        # Now and then past the 64 KiB slices and 1 MiB blocks of a count.
        text = text * (1 + (3 << 20) // max(len(text), 1)) + text[:7]
    lines = []
    line_abc = abc.split(b"\n")[0] + b"\r"
    for _ in range(rng.randrange(12)):
        lines.append(random_line(rng, text, lines, line_abc))
    search_file = b"".join(line + b"\n" for line in lines)
    if search_file and rng.randrange(4) == 0:
        search_file = search_file[:-1]
    return search_file, text


def terms_of(search_file):
    """The terms a search file holds, read by the rules directly."""
    terms = []
    for line in search_file.split(b"\n"):
        line = line.split(b"\0")[0]
        if line:
            terms.append(line)
    return terms


# Which files a path or pattern means, one rule for every way to count
# files: (id, the files made, what is counted, the files counted or the
# exception raised). A file holds its own name, which is its only term.
GLOBS = [
    ("a path that exists is that file", ["log[1].txt", "log1.txt"], "log[1].txt",
     ["log[1].txt"]),
    ("else a glob: [ab]", ["log1.txt", "log2.txt"], "log[1].txt", ["log1.txt"]),
    ("else a glob: ?", ["a1.txt", "a22.txt", "b.txt"], "a?.txt", ["a1.txt"]),
    ("* skips hidden files", [".h.txt", "a.txt", "b.txt"], "*.txt", ["a.txt", "b.txt"]),
    ("a dot matches them", [".h.txt", "a.txt"], ".*.txt", [".h.txt"]),
    ("a directory matched", ["a.txt", "d.txt/"], "*.txt", IsADirectoryError),
    ("a directory named", ["d/"], "d", IsADirectoryError),
    ("nothing matches", ["a.txt"], "*.log", FileNotFoundError),
    ("nothing exists", ["a.txt"], "b.txt", FileNotFoundError),
]


def make_files(folder, names):
    """The files of a GLOBS row in folder, and the term list that counts
    them: each file holds its own name."""
    for name in names:
        if name.endswith("/"):
            (folder / name).mkdir()
        else:
            (folder / name).write_bytes(name.encode() + b"\n")
    return [n.encode() for n in names if not n.endswith("/")]


def zstd_compress(data):
    """zstd's own program: Python has no zstd module."""
    import subprocess
    return subprocess.run(["zstd", "-q", "-c"], input=data, stdout=subprocess.PIPE,
                          check=True, timeout=60).stdout


def compressors():
    """Each compressed format a file count reads, by suffix, with its
    compressor: two streams back to back, as their tools write them too."""
    import bz2
    import gzip
    import lzma
    import shutil

    two = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
    if shutil.which("zstd"):
        two[".zst"] = zstd_compress
    return {suffix: (lambda data, c=c: c(data[:len(data) // 3]) + c(data[len(data) // 3:]))
            for suffix, c in two.items()}
