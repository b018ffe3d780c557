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
    for page in termcount termcount-merge; do
        out=$(groff -man -Tutf8 -ww -z "$build/$page.1" 2>&1)
        [ -z "$out" ] || fail "groff warns on $page.1: $out"
        groff -man -Tutf8 -P -cbou "$build/$page.1" 2>/dev/null | grep -q "$page searchfile" ||
            fail "rendered $page.1 has no synopsis"
    done
    ;;
install)
    cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
    for f in bin/termcount bin/termcount-merge share/man/man1/termcount.1.gz \
             share/man/man1/termcount-merge.1.gz share/doc/termcount/copyright \
             share/doc/termcount/changelog.gz include/termcount/tree.h \
             lib/libtermcount.a lib/pkgconfig/termcount.pc \
             lib/cmake/termcount/termcountConfig.cmake \
             lib/cmake/termcount/termcountConfigVersion.cmake \
             lib/cmake/termcount/termcountTargets.cmake; do
        [ -f "$tmp/prefix/$f" ] || fail "not installed: $f"
    done
    cmake -S "$src/tests/consumer" -B "$tmp/consumer" \
          -DCMAKE_PREFIX_PATH="$tmp/prefix" "$@" >/dev/null
    cmake --build "$tmp/consumer" >/dev/null
    out=$("$tmp/consumer/consumer")
    [ "$out" = "$(printf '2 cat\n1 dog')" ] || fail "consumer printed: $out"
    # The same program built with pkg-config, with the compiler and flags
    # the library was built with.
    need pkg-config
    cxx=c++ flags=
    for arg in "$@"; do
        case $arg in
        -DCMAKE_CXX_COMPILER=*) cxx=${arg#*=} ;;
        -DCMAKE_CXX_FLAGS=* | -DCMAKE_EXE_LINKER_FLAGS=*) flags="$flags ${arg#*=}" ;;
        esac
    done
    # shellcheck disable=SC2046,SC2086
    "$cxx" -std=c++20 $flags "$src/tests/consumer/consumer.cpp" -o "$tmp/pc-consumer" \
        $(PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig" pkg-config --cflags --libs termcount) ||
        fail "cannot build against termcount.pc"
    out=$("$tmp/pc-consumer")
    [ "$out" = "$(printf '2 cat\n1 dog')" ] || fail "pkg-config consumer printed: $out"
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
    for page in termcount termcount-merge; do
        [ -f "$tmp/root/usr/share/man/man1/$page.1.gz" ] || fail "no $page.1.gz in the package"
    done
    [ "$(field Recommends)" = parallel ] || fail "recommends: $(field Recommends)"
    # The log counted twice, as two shards, merged.
    out=$(for shard in 1 2; do
              "$tmp/root/usr/bin/termcount" "$src/examples/terms.txt" word < "$src/examples/app.log"
          done | "$tmp/root/usr/bin/termcount-merge" "$src/examples/terms.txt")
    want=$(printf '2 error\n0 warning\n6 failed\n4 timeout\n2 connection reset\n0 Error')
    [ "$out" = "$want" ] || fail "packaged termcount-merge printed: $out"
    need lintian
    lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors: $(lintian "$deb" 2>&1)"
    ;;
*)
    fail "unknown check $what"
    ;;
esac
echo "ok: $what"
