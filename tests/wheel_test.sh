#!/bin/sh
# Builds termcount's sdist and wheel as a Python user would (python3 -m
# build, the wheel from the sdist), installs the wheel into a fresh venv
# that holds nothing else and counts there, then runs the module's tests
# against a copy installed into a second venv, which also sees the system's
# pytest, NumPy and Dask, from outside the source tree.
# Usage: wheel_test.sh SOURCE_DIR PYTHON TERMCOUNT_BIN
# Exits 77, which CTest reports as skipped, when a tool it needs is missing.
set -eu
src=$1 python=$2 bin=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
skip() { echo "$*: skipped"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
unset PYTHONPATH

"$python" -c 'import ensurepip, venv' 2>/dev/null || skip "no python3-venv"
"$python" -m build --version >/dev/null 2>&1 || skip "no python3-build"
"$python" -c 'import skbuild' 2>/dev/null || skip "no python3-skbuild"
"$python" -c 'import pytest' 2>/dev/null || skip "no python3-pytest"

# The build writes into the tree it builds, so it builds a copy, without
# the build folders and data that other builds keep in the tree.
mkdir "$tmp/src"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./_skbuild \
    --exclude=./dist --exclude='*.egg-info' --exclude=./bench/data -cf - . |
    tar -C "$tmp/src" -xf -
CMAKE_BUILD_PARALLEL_LEVEL=2 "$python" -m build --no-isolation --outdir "$tmp/dist" \
    "$tmp/src" >"$tmp/build.log" 2>&1 || { tail -40 "$tmp/build.log"; fail "python3 -m build"; }
version=$(sed -n 's/^project(termcount VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -f "$tmp/dist/termcount-$version.tar.gz" ] || fail "no sdist of $version: $(ls "$tmp/dist")"
set -- "$tmp"/dist/termcount-"$version"-*.whl
[ -f "$1" ] || fail "no wheel of $version: $(ls "$tmp/dist")"
wheel=$1

# A venv with nothing but the wheel: it imports, says its version and its
# metadata, and counts as the program does, as a module and as a command.
"$python" -m venv "$tmp/fresh"
"$tmp/fresh/bin/pip" install -q --no-index "$wheel" || fail "pip cannot install $wheel"
cd "$tmp"
"$tmp/fresh/bin/python" - "$version" <<'EOF' || fail "the installed wheel"
import sys
from importlib import metadata
import termcount
assert termcount.__file__.startswith(sys.prefix), termcount.__file__
assert termcount.__version__ == sys.argv[1], termcount.__version__
meta = metadata.metadata("termcount")
assert meta["Version"] == sys.argv[1] and meta["Requires-Python"], meta
assert {"dask", "numpy", "scipy", "tqdm"} <= set(meta.get_all("Provides-Extra")), meta
assert "no license" in meta["License"], meta["License"]
EOF
want=$("$bin" "$src/examples/terms.txt" word <"$src/examples/app.log")
got=$("$tmp/fresh/bin/python" -c '
import sys, termcount
t = termcount.Terms.from_file(sys.argv[1])
sys.stdout.buffer.write(t.count_file(sys.argv[2], "word").report())
' "$src/examples/terms.txt" "$src/examples/app.log") || fail "counting in the fresh venv"
[ "$got" = "$want" ] || fail "the installed module printed: $got"
got=$("$tmp/fresh/bin/python" -m termcount "$src/examples/terms.txt" word <"$src/examples/app.log") ||
    fail "python -m termcount in the fresh venv"
[ "$got" = "$want" ] || fail "python -m termcount printed: $got"

# The module's tests, random run included, against the installed copy.
"$python" -m venv --system-site-packages "$tmp/tests"
"$tmp/tests/bin/pip" install -q --no-index "$wheel" || fail "pip cannot install $wheel"
"$tmp/tests/bin/python" -c '
import sys, termcount
assert termcount.__file__.startswith(sys.prefix), termcount.__file__
' || fail "the tests' venv imports another termcount"
cp -R "$src/tests/python" "$tmp/python-tests"
TERMCOUNT_BIN=$bin TERMCOUNT_SOURCE_DIR=$src "$tmp/tests/bin/python" -m pytest -q -p no:cacheprovider \
    --basetemp="$tmp/pytest" "$tmp/python-tests" || fail "the module's tests on the wheel"
echo "ok: wheel $(basename "$wheel")"
