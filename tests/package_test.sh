#!/bin/sh
# Checks what termcount ships: the man page, an install with its CMake
# package (by building a program against it), and the Debian package.
# Usage: package_test.sh man|install|deb SOURCE_DIR BUILD_DIR [cmake args...]
# Exits 77, which CTest reports as skipped, when a tool it needs is missing.
set -eu
what=$1 src=$2 build=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
need() { command -v "$1" >/dev/null 2>&1 || { echo "no $1: skipped"; exit 77; }; }
fail() { echo "FAIL: $*"; exit 1; }

case $what in
man)
    need groff
    out=$(groff -man -Tutf8 -ww -z "$build/termcount.1" 2>&1)
    [ -z "$out" ] || fail "groff warns: $out"
    groff -man -Tutf8 -P -cbou "$build/termcount.1" 2>/dev/null | grep -q 'termcount searchfile' ||
        fail "rendered page has no synopsis"
    ;;
install)
    cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
    for f in bin/termcount share/man/man1/termcount.1 include/termcount/tree.h \
             lib/libtermcount.a lib/cmake/termcount/termcountConfig.cmake \
             lib/cmake/termcount/termcountConfigVersion.cmake \
             lib/cmake/termcount/termcountTargets.cmake; do
        [ -f "$tmp/prefix/$f" ] || fail "not installed: $f"
    done
    cmake -S "$src/tests/consumer" -B "$tmp/consumer" \
          -DCMAKE_PREFIX_PATH="$tmp/prefix" "$@" >/dev/null
    cmake --build "$tmp/consumer" >/dev/null
    out=$("$tmp/consumer/consumer")
    [ "$out" = "$(printf '2 cat\n1 dog')" ] || fail "consumer printed: $out"
    ;;
deb)
    need dpkg-deb
    need dpkg-shlibdeps
    (cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null)
    deb=$(ls "$tmp"/pkg/termcount_*.deb)
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = termcount ] || fail "package name $(field Package)"
    [ "$(field Version)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
        fail "version $(field Version)"
    [ "$(field Section)" = utils ] || fail "section $(field Section)"
    [ -n "$(field Maintainer)" ] || fail "no maintainer"
    field Depends | grep -q libc6 || fail "depends: $(field Depends)"
    dpkg-deb -x "$deb" "$tmp/root"
    out=$("$tmp/root/usr/bin/termcount" "$src/examples/terms.txt" word < "$src/examples/app.log")
    want=$(printf '1 error\n0 warning\n3 failed\n2 timeout\n1 connection reset\n0 Error')
    [ "$out" = "$want" ] || fail "packaged binary printed: $out"
    [ -f "$tmp/root/usr/share/man/man1/termcount.1" ] || fail "no man page in the package"
    ;;
*)
    fail "unknown check $what"
    ;;
esac
echo "ok: $what"
