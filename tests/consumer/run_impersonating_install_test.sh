#!/usr/bin/env bash
# The install test for a build on a libcurl-impersonate library kept in a
# folder of its own, as such libraries are. No impersonating libcurl can be
# built here, so a small stand-in takes its place: a library exporting
# curl_easy_impersonate (accepting the profile the platform client asks for)
# over stock libcurl, reached through a linker script named like the real
# library, as the build's probe and fetchcore link it. qelkit is built on
# it (the libraries and programs only), then run_install_test.sh checks the
# install in impersonating mode with the stand-in's folder as the one only
# fetchcore may search.
#   run_impersonating_install_test.sh <cmake> <qelkit source dir> <consumer source dir> <scratch dir> <version> <jobs>
set -euo pipefail

CMAKE="$1"
SOURCE="$2"
CONSUMER_SRC="$3"
WORK="$4"
VERSION="$5"
JOBS="$6"

fail() { printf 'impersonating install test: %s\n' "$*" >&2; exit 1; }

rm -rf "$WORK"
SHIM="$WORK/impersonate"
mkdir -p "$SHIM"
cat >"$SHIM/shim.c" <<'C'
#include <curl/curl.h>
#include <string.h>

CURLcode curl_easy_impersonate(CURL* curl, const char* target, int default_headers) {
  (void)default_headers;
  if (strcmp(target, "chrome142") != 0) return CURLE_BAD_FUNCTION_ARGUMENT;
  return curl_easy_setopt(curl, CURLOPT_USERAGENT,
                          "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                          "Chrome/142.0.0.0 Safari/537.36");
}
C
gcc -shared -fPIC -o "$SHIM/libcurl-impersonate-stand-in.so.4" -Wl,-soname,libcurl-impersonate-stand-in.so.4 \
  "$SHIM/shim.c" -lcurl || fail "the stand-in library does not build"
printf 'INPUT(%s -lcurl)\n' "$SHIM/libcurl-impersonate-stand-in.so.4" >"$SHIM/libcurl-impersonate.so"

BUILD="$WORK/build"
"$CMAKE" -S "$SOURCE" -B "$BUILD" -DQELKIT_CURL_IMPERSONATE_LIBRARY="$SHIM/libcurl-impersonate.so" \
  -DQELKIT_BUILD_TESTS=OFF -DQELKIT_BUILD_PYTHON=OFF -DQELKIT_BUILD_BENCH=OFF -DQELKIT_BUILD_APPS=ON \
  -DQELKIT_INSTALL=ON >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log" >&2; fail "configure failed"; }
grep -F "full browser impersonation with $SHIM/libcurl-impersonate.so" "$WORK/configure.log" >/dev/null ||
  { cat "$WORK/configure.log" >&2; fail "the build did not take the stand-in as its impersonating libcurl"; }
"$CMAKE" --build "$BUILD" -j "$JOBS" >"$WORK/build.log" 2>&1 || { tail -n 50 "$WORK/build.log" >&2; fail "build failed"; }

bash "$(dirname "$0")/run_install_test.sh" "$CMAKE" "$BUILD" "$CONSUMER_SRC" "$WORK/install" "$VERSION" \
  impersonating "$SHIM"
