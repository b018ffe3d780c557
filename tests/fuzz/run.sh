#!/bin/sh
# Builds the fuzz targets with clang and runs each for SECONDS (default 60)
# from the committed seed corpus, plus two seeds too large to commit: term
# files with a line of exactly 1,048,575 bytes and one a byte longer.
# Usage: tests/fuzz/run.sh [SECONDS]
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build-fuzz
cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=OFF -DTERMCOUNT_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_search fuzz_termfile fuzz_merge >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$top/tests/fuzz/corpus/." "$work/"
head -c 1048575 /dev/zero | tr '\0' x > "$work/termfile/line-at-limit"
{ cat "$work/termfile/line-at-limit"; printf 'y\nz'; } > "$work/termfile/line-past-limit"

status=0
for target in search termfile merge; do
    max=4096
    [ "$target" = termfile ] && max=1100000
    echo "== fuzz_$target for ${seconds}s"
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max" \
        -artifact_prefix="$build/" \
        -print_final_stats=1 "$work/$target" 2>"$work/$target.log" || status=1
    grep -E '^stat::number_of_executed_units|^stat::peak_rss|ERROR|SUMMARY' "$work/$target.log" || true
done
exit $status
