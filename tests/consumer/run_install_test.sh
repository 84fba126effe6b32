#!/usr/bin/env bash
# Installs a built qelkit into a fresh prefix, then builds and runs a consumer
# of the installed package with CMake (find_package) and with pkg-config; every
# installed program starts without LD_LIBRARY_PATH. Then the same build staged
# for /usr (DESTDIR) carries no runpath, and, where this may mount, installed
# into /usr/local in a private mount namespace it starts without a single
# failed library look-up.
# MODE says how the build sends requests: "stock" libcurl, or
# "impersonating" on a libcurl-impersonate library; when that library is
# outside the loader's search, IMPERSONATE_DIR names its folder: then
# fetchcore, which links it, and nothing else carries that folder as a
# runpath, everywhere, and the only failed look-ups allowed are fetchcore's
# own dependencies tried there first.
#   run_install_test.sh <cmake> <qelkit build dir> <consumer source dir> <scratch dir> <version> MODE [IMPERSONATE_DIR]
set -euo pipefail

CMAKE="$1"
BUILD="$2"
CONSUMER_SRC="$3"
WORK="$4"
VERSION="$5"
MODE="$6"
IMPERSONATE_DIR="${7:-}"
case "$MODE" in
  stock) [ -z "$IMPERSONATE_DIR" ] || { echo "install test: stock libcurl has no IMPERSONATE_DIR" >&2; exit 2; } ;;
  impersonating) ;;
  *) echo "install test: MODE must be stock or impersonating, not '$MODE'" >&2; exit 2 ;;
esac

fail() { printf 'install test: %s\n' "$*" >&2; exit 1; }
# Programs must find their libraries on their own.
unset LD_LIBRARY_PATH

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
# The runpath entries of an installed file other than $ORIGIN-relative ones,
# one per line.
absolute_runpath() {
  readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p' | tr ':' '\n' | grep -v '^\$' || true
}
# Only fetchcore, which links the impersonating libcurl, searches its folder.
for lib in fetchcore docstore sealbox taskspawn qelfacade pageworker pagefanout; do
  want=""
  [ "$lib" = fetchcore ] && want="$IMPERSONATE_DIR"
  got="$(absolute_runpath "$LIBDIR/libqelkit_${lib}.so.0")"
  [ "$got" = "$want" ] || fail "libqelkit_${lib} has the absolute runpath '$got', expected '$want'"
done
[ ! -x "$PREFIX/bin/qelkit" ] || [ -z "$(absolute_runpath "$PREFIX/bin/qelkit")" ] ||
  fail "bin/qelkit has an absolute runpath: $(absolute_runpath "$PREFIX/bin/qelkit")"
[ -f "$PREFIX/include/qelkit/sdk/qelfacade.hpp" ] || fail "public headers not installed"
# Public headers only: nothing from an internal/ folder, and nothing that
# pulls a private dependency's header (OpenSSL, libcurl, libqrencode) or an
# internal one into a host.
internal="$(find "$PREFIX/include" -path '*/internal*')"
[ -z "$internal" ] || fail "internal headers were installed: $internal"
private="$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](openssl/|curl/|qrencode\.h|qelkit/[a-z]+/internal/)' \
  "$PREFIX/include" || true)"
[ -z "$private" ] || fail "an installed header includes a private header: $private"
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
# Installed, away from its build tree, it still finds qelkit.
"$CMAKE" --install "$WORK/build" --prefix "$WORK/consumer-prefix" >"$WORK/consumer-install.log" 2>&1 ||
  { cat "$WORK/consumer-install.log" >&2; fail "consumer install failed"; }
out="$(cd "$WORK/run" && "$WORK/consumer-prefix/bin/consumer")" ||
  fail "the installed CMake consumer does not start: $(ldd "$WORK/consumer-prefix/bin/consumer")"
[ "$out" = "[]" ] || fail "installed consumer printed '$out', expected []"

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
out="$(cd "$WORK/run" && "$WORK/consumer-pc")" ||
  fail "the pkg-config consumer does not start: $(ldd "$WORK/consumer-pc")"
[ "$out" = "[]" ] || fail "pkg-config consumer printed '$out', expected []"
[ ! -e "$WORK/run/json/data.json" ] || fail "the consumer wrote a data file"

# The installed command line and substitute platform: a host's offline test,
# as the README shows it, with nothing but the installed tree.
if [ -x "$PREFIX/bin/qelkit" ]; then
  mode="nearest profile on stock libcurl"
  [ "$MODE" = stock ] || mode="full: impersonating libcurl"
  version="$("$PREFIX/bin/qelkit" --version)" || fail "the installed qelkit --version failed"
  [[ "$version" == *"impersonation: $mode"* ]] || fail "qelkit --version does not say '$mode': $version"
  [ -x "$PREFIX/bin/qelkit-platform-sim" ] || fail "qelkit-platform-sim not installed"
  mkdir -p "$WORK/offline"
  "$PREFIX/bin/qelkit-platform-sim" --port 0 --auto-confirm-after 0 --cert-out "$WORK/offline/sim.pem" \
    --ready-file "$WORK/offline/sim.origin" >"$WORK/offline/sim.log" 2>&1 &
  sim_pid=$!
  trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 300); do
    [ -s "$WORK/offline/sim.origin" ] || ! kill -0 "$sim_pid" 2>/dev/null && break
    sleep 0.1
  done
  [ -s "$WORK/offline/sim.origin" ] || { cat "$WORK/offline/sim.log" >&2; fail "qelkit-platform-sim did not start"; }
  account="$(cd "$WORK/offline" && QELKIT_PLATFORM_ORIGIN="$(cat sim.origin)" QELKIT_CA_FILE=sim.pem \
    "$PREFIX/bin/qelkit" login --wait 2>"$WORK/offline/login.err")" ||
    { cat "$WORK/offline/login.err" >&2; fail "installed qelkit login --wait against qelkit-platform-sim failed"; }
  [ -n "$account" ] && grep -F "\"$account\"" "$WORK/offline/json/data.json" >/dev/null ||
    fail "the offline login stored no account '$account'"
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  trap - EXIT
fi

# Staged for /usr, where the loader's cache finds the libraries (a package's
# install runs ldconfig): no installed binary carries a runpath (but fetchcore
# the impersonating libcurl's folder), and programs built against the package
# get none either.
STAGE="$WORK/stage"
DESTDIR="$STAGE" "$CMAKE" --install "$BUILD" --prefix /usr >"$WORK/stage.log" 2>&1 ||
  { cat "$WORK/stage.log" >&2; fail "staged install failed"; }
while IFS= read -r -d '' f; do
  want=""
  case "$f" in */libqelkit_fetchcore.so*) want="$IMPERSONATE_DIR" ;; esac
  got="$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')"
  [ "$got" = "$want" ] || fail "$f, installed for /usr, has the runpath '$got', expected '$want'"
done < <(find "$STAGE/usr/bin" "$STAGE/usr/lib" -type f \( -name 'libqelkit_*' -o -path '*/bin/*' \) -print0)
grep -E '^Libs:' "$(find "$STAGE" -name qelkit.pc)" | grep -e '-rpath' >/dev/null &&
  fail "qelkit.pc for /usr passes a runpath"
grep -E '_qelkit_runpath_own OFF' "$(find "$STAGE" -name qelkitRunpath.cmake)" >/dev/null ||
  fail "the CMake package for /usr gives its programs a runpath"

# Installed into /usr/local for real (the default prefix; ldconfig runs), in a
# private mount namespace whose /etc and /usr/local are overlays in $WORK:
# the installed qelkit starts without one failed library look-up.
skip_real=""
if [ "$(id -u)" -ne 0 ]; then
  skip_real="not root"
elif ! command -v strace >/dev/null; then
  skip_real="strace is not installed"
elif ! command -v unshare >/dev/null || ! unshare --mount --propagation private true 2>/dev/null; then
  skip_real="cannot make a mount namespace"
fi
if [ -z "$skip_real" ] && [ -x "$PREFIX/bin/qelkit" ]; then
  NS="$WORK/namespace"
  mkdir -p "$NS"
  set +e
  unshare --mount --propagation private -- bash -s "$CMAKE" "$BUILD" "$NS" "$IMPERSONATE_DIR" >"$NS/log" 2>&1 <<'NAMESPACE'
set -eu
cmake="$1" build="$2" ns="$3" impersonate_dir="$4"
mount -t tmpfs tmpfs "$ns" || exit 77
mkdir -p "$ns/etc/up" "$ns/etc/work" "$ns/local/up" "$ns/local/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$ns/etc/up,workdir=$ns/etc/work" /etc || exit 77
mount -t overlay overlay -o "lowerdir=/usr/local,upperdir=$ns/local/up,workdir=$ns/local/work" /usr/local || exit 77
"$cmake" --install "$build" --prefix /usr/local
strace -f -e trace=openat -o "$ns/trace" /usr/local/bin/qelkit --version >/dev/null
echo "failed look-ups:"
# In impersonation mode, fetchcore tries its own dependencies in the
# impersonating libcurl's folder first: those look-ups are expected.
grep -E '\.so[.0-9]*", .*= -1 ENOENT' "$ns/trace" |
  { if [ -n "$impersonate_dir" ]; then grep -vF "\"$impersonate_dir/"; else cat; fi; } || true
echo "loaded:"
grep -E 'libqelkit_qelfacade\.so\.0", .*= [0-9]' "$ns/trace"
NAMESPACE
  status=$?
  set -e
  if [ "$status" -eq 77 ]; then
    skip_real="cannot mount tmpfs or overlay in a mount namespace: $(tail -n1 "$NS/log")"
  elif [ "$status" -ne 0 ]; then
    cat "$NS/log" >&2
    fail "installing into /usr/local (in a mount namespace) and running qelkit --version failed"
  else
    failed="$(sed -n '/^failed look-ups:$/,/^loaded:$/p' "$NS/log" | sed '1d;$d')"
    [ -z "$failed" ] || fail "installed in /usr/local, qelkit --version looks libraries up in vain:"$'\n'"$failed"
    sed -n '/^loaded:$/,$p' "$NS/log" | grep -F '"/usr/local/lib/libqelkit_qelfacade.so.0"' >/dev/null ||
      fail "qelkit in /usr/local did not load its library from /usr/local/lib: $(cat "$NS/log")"
  fi
fi
if [ -n "$skip_real" ]; then
  echo "install test: skipped the real /usr/local install: $skip_real"
fi

echo "install test: ok ($PREFIX)"
