#!/usr/bin/env bash
# qelkit's one entry point: setup, build, test, demo.
#   ./qelkit.sh setup   install the Debian packages the project needs (only the missing ones)
#   ./qelkit.sh build   configure and build into build/
#   ./qelkit.sh test    setup, build, then run every test with ctest
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD_DIR="${QELKIT_BUILD_DIR:-$ROOT/build}"
JOBS="${QELKIT_JOBS:-$(nproc 2>/dev/null || echo 2)}"

PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev libssl-dev libqrencode-dev libpng-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libzbar-dev libcpp-httplib-dev
)

log() { printf '[qelkit] %s\n' "$*" >&2; }

cmd_setup() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  log "installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

cmd_build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${QELKIT_BUILD_TYPE:-RelWithDebInfo}" \
    -DQELKIT_WERROR=ON "$@" >/dev/null
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

cmd_test() {
  cmd_setup
  cmd_build
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
}

usage() {
  sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
}

sub="${1:-}"
[ $# -gt 0 ] && shift
case "$sub" in
  setup) cmd_setup "$@" ;;
  build) cmd_setup; cmd_build "$@" ;;
  test) cmd_test "$@" ;;
  -h|--help|help|"") usage ;;
  *) log "unknown command: $sub"; usage; exit 2 ;;
esac
