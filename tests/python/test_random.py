"""Every entry point of the module against the termcount program, over
random search files and texts drawn as the sharded C++ test draws them:
duplicates, carriage returns, NUL-cut lines, empty lines, no final line
feed. TERMCOUNT_CASES (default 200) and TERMCOUNT_SEED (1) set the run;
the full run is TERMCOUNT_CASES=10000."""
import array
import io
import os
import random

import pytest

import termcount
from cases import MODES, draw, terms_of


def chunks(rng, text):
    """The text cut at random places, with empty chunks now and then."""
    out, at = [], 0
    while at < len(text):
        n = rng.choice((0, 1, 2, 7, 64, 1 << 20))
        out.append(text[at:at + n])
        at += n
    return out


class Trickle(io.RawIOBase):
    """A binary file whose read() gives back fewer bytes than asked."""

    def __init__(self, data, rng):
        self.data, self.at, self.rng = data, 0, rng

    def readable(self):
        return True

    def read(self, n=-1):
        take = min(n, 1 + self.rng.randrange(9))
        piece = self.data[self.at:self.at + take]
        self.at += len(piece)
        return piece


def as_text_type(rng, text):
    """The same bytes as one of the types count() takes."""
    kind = rng.randrange(5)
    if kind == 1:
        return bytearray(text)
    if kind == 2:
        return memoryview(b"--" + text + b"--")[2:2 + len(text)]
    if kind == 3:
        return array.array("B", text)
    if kind == 4:
        try:
            return text.decode("utf-8")
        except UnicodeDecodeError:
            pass
    return text


def documents(rng, text):
    """The text cut anywhere into documents, empty ones among them."""
    cuts = sorted(rng.randrange(len(text) + 1) for _ in range(rng.randrange(6)))
    return [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]


def cut_at_line_feeds(rng, text):
    cuts = sorted(rng.sample([i + 1 for i, b in enumerate(text) if b == 10],
                             k=min(3, text.count(b"\n"))))
    return [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]


def check_case(rng, tmp, run_termcount):
    search_file, text = draw(rng)
    sf, tf = tmp / "terms", tmp / "text"
    sf.write_bytes(search_file)
    tf.write_bytes(text)
    from_file = termcount.Terms.from_file(sf)
    listed = terms_of(search_file)
    assert list(from_file.terms) == listed
    from_list = termcount.Terms(listed)
    for mode in MODES:
        want = run_termcount(sf, mode, tf)
        threads = rng.choice((None, 1, 2, 3, 4))
        got = {
            "count": from_file.count(as_text_type(rng, text), mode, threads),
            "count, list terms": from_list.count(text, mode=mode, threads=threads),
            "count_file": from_file.count_file(os.fspath(tf), mode, threads),
            "count_stream, chunks": from_list.count_stream(chunks(rng, text), mode),
            "count_stream, file": from_file.count_stream(Trickle(text, rng), mode),
            "sum over pieces": sum(from_file.count(p, mode)
                                   for p in cut_at_line_feeds(rng, text)),
            "count_files": from_file.count_files([tf, os.fsencode(tf)], mode, threads),
        }
        if want_files(from_file, mode, tf) != got["count_files"]:
            return f"count_files ({mode}) differs from summed count_file"
        del got["count_files"]
        diff = check_each(rng, from_list, text, mode) or check_ignore_case(rng, listed, text, mode)
        if diff:
            return f"{diff}\nsearch file {search_file!r}\ntext {text[:300]!r}"
        for how, counts in got.items():
            if counts.report() != want:
                return (f"{how} ({mode}, {threads} threads) differs\n"
                        f"search file {search_file!r}\ntext {text[:300]!r}\n"
                        f"want {want!r}\ngot  {counts.report()!r}")
    return None


def want_files(terms, mode, path):
    return terms.count_file(path, mode) + terms.count_file(path, mode)


def check_each(rng, terms, text, mode):
    """count_each of random documents against count() of each."""
    docs = documents(rng, text)
    threads = 1 + rng.randrange(4)
    rows = terms.count_each([as_text_type(rng, d) for d in docs], mode, threads).toarray()
    for i, doc in enumerate(docs):
        if list(rows[i]) != list(terms.count(doc, mode)):
            return f"count_each ({mode}, {threads} threads) row {i} of {docs!r} differs"
    return None


def check_ignore_case(rng, listed, text, mode):
    """ignore_case against the lowercased terms and text; a random ASCII
    case for every byte of both."""
    def shuffled(b):
        return bytes(c ^ 32 if (c | 32) in range(97, 123) and rng.randrange(2) else c
                     for c in b)

    if not listed:
        return None
    folded = termcount.Terms([shuffled(t) for t in listed], ignore_case=True)
    want = termcount.Terms([t.lower() for t in listed]).count(text.lower(), mode)
    if list(folded.count(shuffled(text), mode)) != list(want):
        return f"ignore_case ({mode}) differs from the lowercased count"
    return None


def test_every_entry_point_matches_the_program(tmp_path, run_termcount):
    pytest.importorskip("scipy.sparse")
    cases = int(os.environ.get("TERMCOUNT_CASES", "200"))
    seed = int(os.environ.get("TERMCOUNT_SEED", "1"))
    failures = []
    for i in range(cases):
        rng = random.Random(seed * 1_000_003 + i)
        diff = check_case(rng, tmp_path, run_termcount)
        if diff:
            failures.append(f"seed {seed} case {i}: {diff}")
            if len(failures) == 3:
                break
    print(f"random cases: {cases - len(failures)} passed, {len(failures)} failed")
    assert not failures, "\n\n".join(failures)
