"""Makes the large term lists of the benchmark, each from a fixed random
source so that every run counts the same lists:

    python3 bench/lists.py DIR [DOMAINS]

writes into DIR (each file only if it is not there yet)
  domains1m.txt  1,000,000 domain-like terms: 5 to 14 of [a-z0-9-], a dot
                 and one of ten endings (DOMAINS of them, if given, in
                 domains-DOMAINS.txt instead)
  hex200k.txt    200,000 strings of 40 hexadecimal digits
The 200,000 random 20-byte terms are prepare.sh's binary200k.txt.
"""
import os
import random
import sys

ENDINGS = [b"com", b"net", b"org", b"de", b"uk", b"ru", b"info", b"io", b"fr", b"nl"]
NAME = b"abcdefghijklmnopqrstuvwxyz0123456789-"
HEX = b"0123456789abcdef"


def write(path, make):
    if os.path.exists(path) and os.path.getsize(path) > 0:
        return
    with open(path + ".part", "wb") as f:
        make(f)
    os.replace(path + ".part", path)


def domains(n):
    def make(f):
        rng = random.Random(29)
        for start in range(0, n, 100000):
            f.write(b"".join(bytes(rng.choices(NAME, k=rng.randint(5, 14))) + b"." +
                             rng.choice(ENDINGS) + b"\n"
                             for _ in range(min(100000, n - start))))
    return make


def hexes(f):
    rng = random.Random(40)
    f.write(b"".join(bytes(rng.choices(HEX, k=40)) + b"\n" for _ in range(200000)))


def main():
    folder = sys.argv[1]
    if len(sys.argv) > 2:
        n = int(sys.argv[2])
        write(os.path.join(folder, f"domains-{n}.txt"), domains(n))
        return
    write(os.path.join(folder, "domains1m.txt"), domains(1000000))
    write(os.path.join(folder, "hex200k.txt"), hexes)


main()
