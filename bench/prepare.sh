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
if [ ! -s "kjv-$mb.txt" ]; then
    size=$(stat -c %s kjv-once.txt)
    copies=$(( (mb * 1048576 + size - 1) / size ))
    for _ in $(seq "$copies"); do cat kjv-once.txt; done > "kjv-$mb.txt"
fi

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
