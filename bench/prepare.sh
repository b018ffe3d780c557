#!/usr/bin/env bash
# Makes the benchmark's data in the folder given as $1 (reused when present):
# the King James Bible, one verse per line, repeated to about $BENCH_MB MiB,
# and term lists from the American English word list.
set -euo pipefail
dir=$1
mb=${BENCH_MB:-256}
mkdir -p "$dir"
cd "$dir"
export LC_ALL=C

if [ ! -s kjv-once.txt ]; then
    bible -l100000 'Gen1:1-Rev22:21' > kjv-once.txt
fi
# The text repeated to at least $1 MiB, whole copies only.
text() {
    [ -s "kjv-$1.txt" ] && return
    size=$(stat -c %s kjv-once.txt)
    copies=$(( ($1 * 1048576 + size - 1) / size ))
    for _ in $(seq "$copies"); do cat kjv-once.txt; done > "kjv-$1.txt"
}
text "$mb"
# The cases that are slow for the program run over at most 64 MiB.
small=$(( mb < 64 ? mb : 64 ))
text "$small"

# A fixed random source keeps every list the same from run to run.
fixed() { yes termcount; }
# ASCII words only: the peers' byte modes reject UTF-8 in their patterns.
if [ ! -s dict.txt ]; then
    grep -v '[^ -~]' /usr/share/dict/american-english > dict.txt
fi
dict=dict.txt
if [ ! -s words100.txt ]; then
    tr -cs 'A-Za-z' '\n' < kjv-once.txt | grep -v '^$' | sort | uniq -c |
        sort -rn | awk '{ print $2 }' | grep -Fx -f "$dict" | awk 'NR <= 100' \
        > words100.txt
fi
[ -s words10k.txt ] || shuf -n 10000 --random-source=<(fixed) "$dict" > words10k.txt
[ -s words100k.txt ] || cp "$dict" words100k.txt
[ -s lines1000.txt ] ||
    grep '^  *[0-9]' kjv-once.txt | shuf -n 1000 --random-source=<(fixed) > lines1000.txt
if [ ! -s a1m.txt ]; then
    { echo a; head -c 1000 /dev/zero | tr '\0' a; echo; } > pathological.txt
    head -c 1048576 /dev/zero | tr '\0' a > a1m.txt
fi
# Lists whose matches are rare, as in a search of logs: three words that
# never occur, 20 and 1,000 random terms of 10 lower-case letters, and 100
# words of the list that occur 1 to 5 times in the text.
[ -s log3.txt ] || printf 'ERROR\nWARNING\nFATAL\n' > log3.txt
for n in 20 1000; do
    [ -s "random$n.txt" ] || /usr/bin/python3 -c '
import random, string, sys
rng = random.Random(int(sys.argv[1]))
print("\n".join("".join(rng.choices(string.ascii_lowercase, k=10))
                for _ in range(int(sys.argv[1]))))' "$n" > "random$n.txt"
done
if [ ! -s rare100.txt ]; then
    tr -cs 'A-Za-z' '\n' < kjv-once.txt | grep -v '^$' | sort | uniq -c |
        awk '$1 >= 1 && $1 <= 5 { print $2 }' | grep -Fx -f "$dict" |
        shuf -n 100 --random-source=<(fixed) > rare100.txt
fi
# The terms a, aa, ... up to 1,000 `a`s, over as many MiB of `a` as the
# slow cases take: 1,000 occurrences end at almost every byte.
[ -s a-to-a1000.txt ] || awk 'BEGIN { t = ""; for (i = 0; i < 1000; i++) print t = t "a" }' \
    > a-to-a1000.txt
[ -s "a-$small.txt" ] || head -c $(( small * 1048576 )) /dev/zero | tr '\0' a > "a-$small.txt"
# 200,000 random terms of 20 bytes, any byte but NUL and the line feed
# (which would end or cut a term): a large list with almost nothing shared.
[ -s binary200k.txt ] || /usr/bin/python3 -c '
import random, sys
rng = random.Random(1)
pool = bytes(b for b in range(1, 256) if b != 10)
sys.stdout.buffer.write(b"".join(bytes(rng.choices(pool, k=20)) + b"\n"
                                 for _ in range(200000)))' > binary200k.txt
# The large lists: a million domain-like terms and 200,000 hex strings.
/usr/bin/python3 "$(dirname "$(readlink -f "$0")")/lists.py" .
# The text as 1,000 files cut after line feeds, for counting many files.
if [ ! -s "files-$mb/part-999" ]; then
    mkdir -p "files-$mb"
    split -n l/1000 -a 3 -d "kjv-$mb.txt" "files-$mb/part-"
fi
