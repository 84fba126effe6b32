#!/usr/bin/env bash
# Installs a built qelkit into a fresh prefix, then builds and runs a consumer
# of the installed package with CMake (find_package) and with pkg-config.
#   run_install_test.sh <cmake> <qelkit build dir> <consumer source dir> <scratch dir> <version>
set -euo pipefail

CMAKE="$1"
BUILD="$2"
CONSUMER_SRC="$3"
WORK="$4"
VERSION="$5"

fail() { printf 'install test: %s\n' "$*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK/run"
PREFIX="$WORK/prefix"
"$CMAKE" --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || { cat "$WORK/install.log" >&2; fail "install failed"; }

# The layout: versioned libraries with SONAME, headers, CMake package, .pc file.
LIBDIR="$(dirname "$(find "$PREFIX" -name 'libqelkit_qelfacade.so' -print -quit)")"
[ -n "$LIBDIR" ] && [ "$LIBDIR" != "." ] || fail "libqelkit_qelfacade.so not installed"
for lib in fetchcore docstore sealbox taskspawn qelfacade pageworker pagefanout; do
  real="$(find "$LIBDIR" -maxdepth 1 -name "libqelkit_${lib}.so.*.*.*" -print -quit)"
  [ -n "$real" ] || fail "libqelkit_${lib}.so.<version> not installed"
  soname="$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
  [ "$soname" = "libqelkit_${lib}.so.0" ] || fail "libqelkit_${lib}: SONAME is '$soname'"
  [ -L "$LIBDIR/libqelkit_${lib}.so.0" ] || fail "libqelkit_${lib}.so.0 link missing"
done
[ -f "$PREFIX/include/qelkit/sdk/qelfacade.hpp" ] || fail "public headers not installed"
if find "$PREFIX/include" -name '*.hpp' -exec grep -l '(internal to ' {} + | grep . >/dev/null; then
  fail "an internal header was installed"
fi
[ -f "$LIBDIR/cmake/qelkit/qelkitConfig.cmake" ] || fail "CMake package not installed"
[ -f "$LIBDIR/pkgconfig/qelkit.pc" ] || fail "qelkit.pc not installed"

# The consumer, through find_package; it must run from the installed libraries.
"$CMAKE" -S "$CONSUMER_SRC" -B "$WORK/build" -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_BUILD_TYPE=Release \
  >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log" >&2; fail "consumer configure failed"; }
"$CMAKE" --build "$WORK/build" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log" >&2; fail "consumer build failed"; }
ldd "$WORK/build/consumer" | grep "$PREFIX/.*libqelkit_qelfacade" >/dev/null ||
  fail "consumer does not load libqelkit_qelfacade from the prefix: $(ldd "$WORK/build/consumer")"
out="$(cd "$WORK/run" && "$WORK/build/consumer")"
[ "$out" = "[]" ] || fail "consumer printed '$out', expected []"

# "-c" goes to the child-task entry: a script it cannot parse is a failure
# with a message, and main() never runs.
set +e
out="$(cd "$WORK/run" && "$WORK/build/consumer" -c 'not a task script' 2>"$WORK/child.err")"
status=$?
set -e
[ "$status" -ne 0 ] || fail "consumer -c <bad script> exited 0"
[ -z "$out" ] || fail "consumer -c <bad script> ran main(): '$out'"
[ -s "$WORK/child.err" ] || fail "consumer -c <bad script> said nothing on standard error"

# The same program through pkg-config.
export PKG_CONFIG_PATH="$LIBDIR/pkgconfig"
pkg-config --exists --print-errors qelkit
[ "$(pkg-config --modversion qelkit)" = "$VERSION" ] || fail "qelkit.pc has version $(pkg-config --modversion qelkit)"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$WORK/consumer-pc" "$CONSUMER_SRC/main.cpp" $(pkg-config --cflags --libs qelkit) \
  >"$WORK/pc-build.log" 2>&1 || { cat "$WORK/pc-build.log" >&2; fail "pkg-config build failed"; }
out="$(cd "$WORK/run" && LD_LIBRARY_PATH="$LIBDIR" "$WORK/consumer-pc")"
[ "$out" = "[]" ] || fail "pkg-config consumer printed '$out', expected []"

# The installed command-line tool finds its libraries on its own.
if [ -x "$PREFIX/bin/qelkit" ]; then
  "$PREFIX/bin/qelkit" --help >/dev/null || fail "installed qelkit --help failed"
fi

[ ! -e "$WORK/run/json/data.json" ] || fail "the consumer wrote a data file"
echo "install test: ok ($PREFIX)"
