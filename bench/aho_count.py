"""Counts every occurrence of every term, overlapping ones included, with
pyahocorasick: the library a Python user would reach for. Prints the counts
in uniq -c's shape. The text is read whole: the library matches in memory."""
import sys

import ahocorasick

terms_path = sys.argv[1]
automaton = ahocorasick.Automaton()
with open(terms_path, "rb") as f:
    for line in f.read().split(b"\n"):
        if line:
            term = line.decode("latin-1")
            automaton.add_word(term, term)
automaton.make_automaton()

text = sys.stdin.buffer.read().decode("latin-1")
counts = {}
for _, term in automaton.iter(text):
    counts[term] = counts.get(term, 0) + 1
out = sys.stdout.buffer
for term, n in counts.items():
    out.write(b"%d %s\n" % (n, term.encode("latin-1")))
