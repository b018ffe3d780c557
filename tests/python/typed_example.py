"""The module used as docs/python.md shows it, for `mypy --strict` to check against
the stubs (a CTest test). It is type-checked, not run: it names files that
need not exist."""
import pickle

import numpy

import termcount


def counting() -> None:
    terms = termcount.Terms.from_file("examples/terms.txt")
    counts = terms.count_file("examples/app.log", mode="word")
    listed: list[int] = list(counts)
    top: list[tuple[bytes, int]] = counts.most_common(3)
    report: str = counts.report().decode()
    print(listed, top, report, len(counts), counts[-1], counts.terms)

    words = termcount.Terms(["cat", b"at", "New York"])
    c = words.count("concat at New York\n", mode="any")
    by_term: dict[bytes, int] = c.to_dict()
    by_str: dict[str, int] = c.to_dict(decode=True)
    whole = sum([words.count(b"cat\n"), words.count(b"a cat\n")])
    print(by_term, by_str, whole == words.count(b"cat\na cat\n"), c + c, 0 + c)
    print(numpy.asarray(c), memoryview(c).tolist(), c.to_pandas())
    print(pickle.loads(pickle.dumps(c)) == c, pickle.loads(pickle.dumps(words)))


def more_shapes_of_work() -> None:
    folded = termcount.Terms([b"error", "Timeout"], ignore_case=True)
    print(folded.ignore_case, len(folded))
    many = folded.count_files("logs/*.log", mode="word", threads=None)
    listed = folded.count_files(["a.log", b"b.log"], threads=2,
                                progress=lambda done, total: print(done, total))
    bar = folded.count_file("big.log", progress=True)
    matrix = folded.count_each(["an error", b"a timeout", bytearray(b"")], mode="word")
    print(many, listed, bar, matrix.shape)
    with open("big.log", "rb") as f:
        print(folded.count_stream(f), folded.count_stream([b"an err", b"or\n"], "line"))
