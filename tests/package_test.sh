#!/bin/sh
# Checks what termcount ships: the man pages, an install with its CMake and
# pkg-config files (by building a program against it) and its Python
# package, and the Debian packages, built from the source with the /usr
# prefix, checked by lintian and installed into a scratch root.
# Usage: package_test.sh man|install|subdir|deb SOURCE_DIR BUILD_DIR [cmake args...]
# Exits 77, which CTest reports as skipped, when a tool it needs is missing.
set -eu
what=$1 src=$2 build=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
need() { command -v "$1" >/dev/null 2>&1 || { echo "no $1: skipped"; exit 77; }; }
fail() { echo "FAIL: $*"; exit 1; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt"; }

# The consumer and the counts it must print.
consumer_says=$(printf '2 cat\n1 dog')
check_consumer() {  # PREFIX [cmake args...]: builds the consumer against it
    prefix=$1
    shift
    cmake -S "$src/tests/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" "$@" \
        >/dev/null || fail "cannot configure the consumer against $prefix"
    cmake --build "$tmp/consumer" >/dev/null || fail "cannot build the consumer"
    [ "$("$tmp/consumer/consumer")" = "$consumer_says" ] || fail "consumer printed the wrong counts"
    check_loader "$tmp/consumer/consumer"
    rm -rf "$tmp/consumer"
}
# The search files whose reading has rules of its own, each a printf
# format: the installed loader reads them as the program does.
hard_lists='cat\n\n\ndog\n
cat\ndog
\n\n\n
cat\000dog\nat\n
cat\r\ndog\r\n
cat\ncat\nat\n
the cat\nat the\n'
check_loader() {  # CONSUMER: compares its reports with the program's
    printf 'the cat sat\r\non the mat\ncat\ndog\r\nconcat at\nat the\n' > "$tmp/text"
    printf '%s\n' "$hard_lists" | while IFS= read -r list; do
        # shellcheck disable=SC2059
        printf "$list" > "$tmp/list"
        for mode in any word line; do
            want=$("$build/termcount" "$tmp/list" $mode < "$tmp/text")
            got=$("$1" "$tmp/list" $mode < "$tmp/text") || fail "the consumer failed on $list"
            [ "$got" = "$want" ] || fail "the consumer read $list, $mode, as: $got"
        done
    done
    # A line past the loader's read of 1 MiB becomes two terms.
    awk 'BEGIN { s = "ab"; while (length(s) < 1100000) s = s s; print s; print "cat" }' > "$tmp/list"
    want=$("$build/termcount" "$tmp/list" < "$tmp/text" | cut -c1-20)
    got=$("$1" "$tmp/list" any < "$tmp/text" | cut -c1-20) || fail "the consumer failed on a long line"
    [ "$got" = "$want" ] || fail "the consumer read a long line as: $got"
}
check_python() {  # FOLDER: imports the package from it and counts the example
    python=$(cache Python_EXECUTABLE "$build")
    [ -n "$python" ] || return 0
    out=$(cd "$tmp" && PYTHONPATH="$1" "$python" -c '
import sys, termcount
assert termcount.__file__.startswith(sys.argv[1]), termcount.__file__
t = termcount.Terms.from_file(sys.argv[2])
sys.stdout.buffer.write(t.count_file(sys.argv[3], "word").report())
' "$1" "$src/examples/terms.txt" "$src/examples/app.log") || fail "the installed Python package fails"
    [ "$out" = "$example_says" ] || fail "the installed Python package printed: $out"
}
example_says=$(printf '1 error\n0 warning\n3 failed\n2 timeout\n1 connection reset\n0 Error')

case $what in
man)
    need groff
    for page in termcount termcount-merge; do
        out=$(groff -man -Tutf8 -ww -z "$build/$page.1" 2>&1)
        [ -z "$out" ] || fail "groff warns on $page.1: $out"
        groff -man -Tutf8 -P -cbou "$build/$page.1" 2>/dev/null | grep -q "$page searchfile" ||
            fail "rendered $page.1 has no synopsis"
    done
    # The man page's recipes are the README's, which the recipes test runs:
    # every command of the README's recipe block, its lines joined, is in
    # the rendered page.
    flat() { tr -s ' \n' '  '; }
    page=$(groff -man -Tascii -P -cbou "$build/termcount-merge.1" 2>/dev/null | flat)
    awk '/^<!-- recipes:/ { on = 1; next } on && /^```sh/ { next } on && /^```/ { exit }
         on && !/^#/' "$src/README.md" |
        awk 'BEGIN { RS = "" } { print }' > "$tmp/recipes"
    [ -s "$tmp/recipes" ] || fail "no recipe block in README.md"
    while IFS= read -r line; do
        [ -n "$line" ] || continue
        case $page in
        *"$(printf '%s' "$line" | flat)"*) ;;
        *) fail "termcount-merge.1 lacks the README's recipe line: $line" ;;
        esac
    done < "$tmp/recipes"
    ;;
install)
    prefix=$tmp/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    lib=$(cache CMAKE_INSTALL_LIBDIR "$build")
    for f in bin/termcount bin/termcount-merge share/man/man1/termcount.1.gz \
             share/man/man1/termcount-merge.1.gz share/doc/termcount/copyright \
             share/doc/termcount/changelog.gz include/termcount/tree.h \
             include/termcount/count.h include/termcount/fault.h \
             "$lib/libtermcount.a" "$lib/libtermcount_count.a" "$lib/pkgconfig/termcount.pc" \
             "$lib/cmake/termcount/termcountConfig.cmake" \
             "$lib/cmake/termcount/termcountConfigVersion.cmake" \
             "$lib/cmake/termcount/termcountTargets.cmake"; do
        [ -f "$prefix/$f" ] || fail "not installed: $f"
    done
    check_consumer "$prefix" "$@"
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
        $(PKG_CONFIG_PATH="$prefix/$lib/pkgconfig" pkg-config --cflags --libs termcount) ||
        fail "cannot build against termcount.pc"
    [ "$("$tmp/pc-consumer")" = "$consumer_says" ] || fail "the pkg-config consumer printed the wrong counts"
    pydir=$(cache TERMCOUNT_PYTHON_DIR "$build")
    [ -z "$pydir" ] || check_python "$prefix/$pydir"
    ;;
subdir)
    # termcount inside another project: only its targets, no install rules
    # or packaging of its own.
    cmake -S "$src/tests/subproject" -B "$tmp/sub" -DTERMCOUNT_SOURCE_DIR="$src" \
          -DTERMCOUNT_PYTHON=OFF -DTERMCOUNT_WERROR=ON "$@" >/dev/null ||
        fail "cannot configure the subproject"
    cmake --build "$tmp/sub" -j2 --target consumer >/dev/null || fail "cannot build the subproject"
    [ "$("$tmp/sub/consumer")" = "$consumer_says" ] || fail "the subproject's consumer printed the wrong counts"
    if grep -qs 'file(INSTALL' "$tmp/sub/termcount/cmake_install.cmake"; then
        fail "termcount installs files as a subdirectory"
    fi
    [ ! -e "$tmp/sub/CPackConfig.cmake" ] || fail "termcount set up packaging as a subdirectory"
    grep -q -- -Werror "$tmp/sub/termcount/CMakeFiles/tree.dir/flags.make" &&
        fail "termcount turned warnings into errors as a subdirectory"
    ;;
deb)
    need dpkg-deb
    need dpkg-shlibdeps
    need lintian
    # Built as a distribution builds it: its own tree, the /usr prefix.
    cmake -S "$src" -B "$tmp/build" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
          -DPython_EXECUTABLE="$(cache Python_EXECUTABLE "$build")" >/dev/null
    cmake --build "$tmp/build" -j2 >/dev/null
    (cd "$tmp/build" && cpack -G DEB -B "$tmp/pkg" >/dev/null)
    version=$(cache CMAKE_PROJECT_VERSION "$build")
    arch=$(dpkg --print-architecture)
    packages="termcount libtermcount-dev"
    [ -z "$(cache TERMCOUNT_PYTHON_DIR "$build")" ] || packages="$packages python3-termcount"
    for p in $packages; do
        deb=$tmp/pkg/${p}_${version}_$arch.deb
        [ -f "$deb" ] || fail "no package $p: $(ls "$tmp/pkg")"
        field() { dpkg-deb -f "$deb" "$1"; }
        [ "$(field Version)" = "$version" ] || fail "$p: version $(field Version)"
        [ -n "$(field Maintainer)" ] || fail "$p: no maintainer"
        dpkg-deb -c "$deb" | grep -q "usr/share/doc/$p/copyright" || fail "$p: no copyright"
        lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 ||
            fail "lintian on $p: $(cat "$tmp/lintian")"
    done
    dpkg-deb -f "$tmp/pkg/termcount_${version}_$arch.deb" Recommends | grep -q parallel ||
        fail "termcount does not recommend parallel"
    dpkg-deb -c "$tmp/pkg/libtermcount-dev_${version}_$arch.deb" |
        grep -q "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/termcount.pc" ||
        fail "libtermcount-dev: termcount.pc not in the multiarch folder"

    # Installed into a scratch root by dpkg itself, which refuses packages
    # whose files clash; their dependencies are this machine's.
    root=$tmp/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
         --log=/dev/null -i "$tmp"/pkg/*.deb >"$tmp/dpkg" 2>&1 ||
        fail "dpkg cannot install the packages: $(cat "$tmp/dpkg")"
    usr=$root/usr
    out=$("$usr/bin/termcount" "$src/examples/terms.txt" word < "$src/examples/app.log")
    [ "$out" = "$example_says" ] || fail "packaged termcount printed: $out"
    # The log counted twice, as two shards, merged.
    out=$(for shard in 1 2; do
              "$usr/bin/termcount" "$src/examples/terms.txt" word < "$src/examples/app.log"
          done | "$usr/bin/termcount-merge" "$src/examples/terms.txt")
    want=$(printf '2 error\n0 warning\n6 failed\n4 timeout\n2 connection reset\n0 Error')
    [ "$out" = "$want" ] || fail "packaged termcount-merge printed: $out"
    for page in termcount termcount-merge; do
        [ -f "$usr/share/man/man1/$page.1.gz" ] || fail "no $page.1.gz in the package"
    done
    check_consumer "$usr" "$@"
    case $packages in *python3-termcount*)
        check_python "$usr/lib/python3/dist-packages" ;;
    esac
    ;;
*)
    fail "unknown check $what"
    ;;
esac
echo "ok: $what"
