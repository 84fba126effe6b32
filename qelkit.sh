#!/usr/bin/env bash
# qelkit's one entry point.
#   ./qelkit.sh setup   install the Debian packages the project needs (only the missing ones)
#   ./qelkit.sh build   configure and build into build/
#   ./qelkit.sh test    setup, build, then run every test with ctest
#   ./qelkit.sh demo    setup, build, then log in and read statistics against the substitute platform
#   ./qelkit.sh check   the whole suite under ASan+UBSan, the threaded suites under TSan
#   ./qelkit.sh fuzz [SECONDS]  build the libFuzzer targets (clang, ASan, UBSan) and run each for SECONDS (default 60)
#   ./qelkit.sh bench   build, run every benchmark and print one table
#   ./qelkit.sh python  setup, build the Python modules, then print the folder to put on PYTHONPATH
# QELKIT_CURL_IMPERSONATE_LIBRARY=/path/libcurl-impersonate.so builds (build, test, demo, bench,
# python) with that libcurl for full browser impersonation; OFF keeps stock libcurl.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD_DIR="${QELKIT_BUILD_DIR:-$ROOT/build}"
JOBS="${QELKIT_JOBS:-$(nproc 2>/dev/null || echo 2)}"

PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev libssl-dev libqrencode-dev libpng-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libzbar-dev libcpp-httplib-dev
  zlib1g-dev libbrotli-dev libzstd-dev libnghttp2-dev
  nginx libnginx-mod-http-js libnginx-mod-http-brotli-filter
  pybind11-dev python3-dev python3-pytest
  python3-venv python3-setuptools python3-wheel python3-wheel-whl
  strace
  libsoci-dev libsqlite3-dev libpq-dev postgresql-15 tzdata
  chromium chromium-driver python3-selenium zbar-tools fonts-wqy-zenhei
)

log() { printf '[qelkit] %s\n' "$*" >&2; }

# The fuzz targets' toolchain: clang, its fuzzer and sanitizer runtimes, and
# llvm-symbolizer for readable crash reports.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)

cmd_setup() { install_missing "${PACKAGES[@]}"; }

# Installs those of the named Debian packages that are not installed yet.
install_missing() {
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null; then
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
  # Installed services (nginx) must not be started: the tests run their own
  # on free ports, and a system one would want port 80.
  local policy=/usr/sbin/policy-rc.d made_policy=0 status=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    made_policy=1
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    status=$?
  if [ "$made_policy" -eq 1 ]; then "${sudo[@]}" rm -f "$policy"; fi
  return "$status"
}

# The libcurl to build with, when QELKIT_CURL_IMPERSONATE_LIBRARY names one
# (else the build's own choice stands: found, or stock).
impersonation_args() {
  if [ -n "${QELKIT_CURL_IMPERSONATE_LIBRARY:-}" ]; then
    printf '%s\n' "-DQELKIT_CURL_IMPERSONATE_LIBRARY=$QELKIT_CURL_IMPERSONATE_LIBRARY"
  fi
}

cmd_build() {
  local impersonate
  mapfile -t impersonate < <(impersonation_args)
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${QELKIT_BUILD_TYPE:-RelWithDebInfo}" \
    -DQELKIT_WERROR=ON "${impersonate[@]}" "$@" >/dev/null
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

cmd_test() {
  cmd_setup
  cmd_build
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
}

# Test programs whose code runs threads (or races processes) under TSan.
THREADED_TESTS=(common_test pageworker_test pagefanout_test facade_test facade_e2e_test statistics_test data_safety_test)

# Builds into $1 with the sanitizer flags $2 (targets: the rest, or all).
sanitized_build() {
  local dir="$1" flags="$2"
  shift 2
  # -O1 with line tables: quick to build, readable reports, not too slow to run.
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=None -DQELKIT_WERROR=ON -DQELKIT_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$flags -O1 -g1 -fno-omit-frame-pointer" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$dir" -j "$JOBS" --target "$@"
  else
    cmake --build "$dir" -j "$JOBS"
  fi
}

# Sanitizers: every test under AddressSanitizer + UndefinedBehaviorSanitizer
# (the install test aside: an instrumented library cannot be loaded by an
# uninstrumented consumer), then the threaded suites under ThreadSanitizer.
# Any report fails the run.
cmd_check() {
  cmd_setup
  local asan="${QELKIT_ASAN_BUILD_DIR:-$ROOT/build-asan}" tsan="${QELKIT_TSAN_BUILD_DIR:-$ROOT/build-tsan}"
  log "check: AddressSanitizer + UndefinedBehaviorSanitizer, every test ($asan)"
  sanitized_build "$asan" "-fsanitize=address,undefined -fno-sanitize-recover=all"
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$asan" --output-on-failure -j "$JOBS" -LE install

  log "check: ThreadSanitizer, the threaded suites ($tsan)"
  sanitized_build "$tsan" "-fsanitize=thread" "${THREADED_TESTS[@]}" platform-sim
  local pattern
  # Each suite also in its HTTP/2 configuration, where it has one.
  pattern="^($(IFS='|'; echo "${THREADED_TESTS[*]}"))(_h2)?\$"
  # The thousand-logins resource test only counts processes and descriptors;
  # under TSan it takes minutes and shows nothing ASan's run has not.
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp" \
  GTEST_FILTER='-DataSafety.AThousand*' \
    ctest --test-dir "$tsan" --output-on-failure -j "$JOBS" -R "$pattern"
}

# Benchmarks: one table of every measured target (see bench/run.sh).
cmd_bench() {
  cmd_setup
  cmd_build
  bash "$ROOT/bench/run.sh" "$BUILD_DIR"
}

# Python hosts: builds the Python modules and the libraries they load (no
# tests, no benchmarks), then prints the folder holding the qelkit package
# (and nothing else on standard output), for
#   PYTHONPATH="$(./qelkit.sh python)" /usr/bin/python3 host.py
cmd_python() {
  cmd_setup >&2
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${QELKIT_BUILD_TYPE:-RelWithDebInfo}" \
    -DQELKIT_WERROR=ON >/dev/null
  if ! cmake --build "$BUILD_DIR" -j "$JOBS" --target qelkit_python >&2; then
    log "python: the Python modules were not built (see the qelkit: lines of: cmake -S $ROOT -B $BUILD_DIR)"
    exit 1
  fi
  local dir="$BUILD_DIR/python/site"
  if ! compgen -G "$dir/qelkit/sdk/qelfacade.*.so" >/dev/null; then
    log "python: the Python modules were not built (see the qelkit: lines of: cmake -S $ROOT -B $BUILD_DIR)"
    exit 1
  fi
  echo "$dir"
}

# The demo: the whole login-and-statistics road against the substitute
# platform, in a temporary working directory (json/data.json lands there).
# QELKIT_DEMO_QELKIT and QELKIT_DEMO_PLATFORM_SIM name prebuilt programs and
# skip setup and build (the demo's own test uses them).
DEMO_WORK=""
DEMO_SIM_PID=""
DEMO_JOB_PID=""

demo_cleanup() {
  trap - EXIT INT TERM
  if [ -n "$DEMO_JOB_PID" ]; then kill "$DEMO_JOB_PID" 2>/dev/null || true; wait "$DEMO_JOB_PID" 2>/dev/null || true; fi
  if [ -n "$DEMO_SIM_PID" ]; then
    log "stopping the substitute platform"
    kill "$DEMO_SIM_PID" 2>/dev/null || true
    wait "$DEMO_SIM_PID" 2>/dev/null || true
  fi
  if [ -n "$DEMO_WORK" ]; then cd / && rm -rf "$DEMO_WORK"; fi
  DEMO_JOB_PID="" DEMO_SIM_PID="" DEMO_WORK=""
}

# Runs one program as a job, so that Ctrl-C or TERM reach the trap at once.
demo_run() {
  "$@" &
  DEMO_JOB_PID=$!
  local rc=0
  wait "$DEMO_JOB_PID" || rc=$?
  DEMO_JOB_PID=""
  return "$rc"
}

demo_heading() { printf '\n== %s ==\n' "$*"; }

cmd_demo() {
  local qelkit_bin sim_bin
  if [ -n "${QELKIT_DEMO_QELKIT:-}" ]; then
    qelkit_bin="$(realpath "$QELKIT_DEMO_QELKIT")"
    sim_bin="$(realpath "${QELKIT_DEMO_PLATFORM_SIM:?QELKIT_DEMO_PLATFORM_SIM must name the substitute platform}")"
  else
    cmd_setup
    local impersonate
    mapfile -t impersonate < <(impersonation_args)
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${QELKIT_BUILD_TYPE:-RelWithDebInfo}" \
      -DQELKIT_WERROR=ON "${impersonate[@]}" >/dev/null
    cmake --build "$BUILD_DIR" -j "$JOBS" --target qelkit platform-sim
    qelkit_bin="$BUILD_DIR/apps/qelkit/qelkit"
    sim_bin="$BUILD_DIR/apps/platform-sim/platform-sim"
  fi

  # The substitute platform's data for seed 1, account 0: a month of list
  # entries, and 100 detailed rows (five pages) on 2026-03-01. Dates are read
  # as local midnight; UTC makes that the same instant on every machine.
  export TZ=UTC
  local stats_start=2026-03-01 stats_end=2026-03-31 detail_time=2026-03-01

  trap 'demo_cleanup' EXIT
  trap 'demo_cleanup; exit 130' INT
  trap 'demo_cleanup; exit 143' TERM
  DEMO_WORK="$(mktemp -d "${TMPDIR:-/tmp}/qelkit-demo.XXXXXX")"
  cd "$DEMO_WORK"

  demo_heading "Starting the substitute platform (confirms each login 3 s after its QR code)"
  "$sim_bin" --port 0 --seed 1 --auto-confirm-account 0 --cert-out "$DEMO_WORK/platform.pem" --ready-file "$DEMO_WORK/origin" \
    --auto-confirm-after 3 >"$DEMO_WORK/platform.log" 2>&1 &
  DEMO_SIM_PID=$!
  local waited=0
  until [ -s "$DEMO_WORK/origin" ]; do
    if ! kill -0 "$DEMO_SIM_PID" 2>/dev/null || [ "$waited" -ge 300 ]; then
      cat "$DEMO_WORK/platform.log" >&2
      log "the substitute platform did not start"
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  export QELKIT_PLATFORM_ORIGIN QELKIT_CA_FILE="$DEMO_WORK/platform.pem"
  QELKIT_PLATFORM_ORIGIN="$(head -n1 "$DEMO_WORK/origin")"
  echo "listening at $QELKIT_PLATFORM_ORIGIN (working directory $DEMO_WORK)"

  demo_heading "qelkit login --wait"
  demo_run "$qelkit_bin" login --wait >"$DEMO_WORK/account" || { log "the login failed"; exit 1; }
  local account
  account="$(tail -n1 "$DEMO_WORK/account")"
  echo "stored account: $account"

  demo_heading "qelkit accounts"
  demo_run "$qelkit_bin" accounts || { log "listing the accounts failed"; exit 1; }

  demo_heading "qelkit stats $account $stats_start $stats_end"
  demo_run "$qelkit_bin" stats "$account" "$stats_start" "$stats_end" ||
    { log "the statistics query failed"; exit 1; }

  demo_heading "qelkit detail $account $detail_time"
  demo_run "$qelkit_bin" detail "$account" "$detail_time" ||
    { log "the detailed statistics query failed"; exit 1; }

  demo_heading "Done"
  demo_cleanup
  echo "The demo ran in a temporary directory, now removed; the repository is unchanged."
}

# Fuzzing: builds every libFuzzer target in fuzz/ with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/ (QELKIT_FUZZ_BUILD_DIR), then
# runs each for SECONDS (argument, else QELKIT_FUZZ_SECONDS, else 60) from a
# copy of its seeds in fuzz/corpus/<target>/, in a scratch directory: the
# repository is never written. QELKIT_FUZZ_TARGETS="fuzz_fo fuzz_base64"
# runs only those. Any crash, leak, time-out or broken contract fails the run
# and names the input that caused it (the scratch directory is kept then).
cmd_fuzz() {
  local seconds="${1:-${QELKIT_FUZZ_SECONDS:-60}}"
  case "$seconds" in
    '' | *[!0-9]* | 0) log "fuzz: SECONDS must be a positive whole number, not '$seconds'"; exit 2 ;;
  esac
  cmd_setup
  install_missing "${FUZZ_PACKAGES[@]}"
  local build="${QELKIT_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
  cmake -S "$ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    -DQELKIT_BUILD_FUZZ=ON -DQELKIT_BUILD_TESTS=OFF -DQELKIT_BUILD_APPS=OFF -DQELKIT_BUILD_BENCH=OFF \
    -DQELKIT_INSTALL=OFF -DQELKIT_WERROR=ON >/dev/null
  cmake --build "$build" -j "$JOBS" --target fuzzers

  local targets=()
  if [ -n "${QELKIT_FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$QELKIT_FUZZ_TARGETS"
  else
    for d in "$ROOT"/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
  fi
  local scratch
  scratch="$(mktemp -d "${TMPDIR:-/tmp}/qelkit-fuzz.XXXXXX")"
  if [ -x /usr/bin/llvm-symbolizer-14 ]; then export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14; fi
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
  log "fuzzing ${#targets[@]} targets for ${seconds} s each in $scratch"
  local failed=() t
  for t in "${targets[@]}"; do
    local bin="$build/fuzz/$t" dir="$scratch/$t"
    if [ ! -x "$bin" ] || [ ! -d "$ROOT/fuzz/corpus/$t" ]; then
      log "fuzz: no target $t (expected $bin and fuzz/corpus/$t/)"
      failed+=("$t")
      continue
    fi
    mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
    cp -R "$ROOT/fuzz/corpus/$t/." "$dir/corpus/"
    local rc=0
    (cd "$dir" && TMPDIR="$dir/tmp" "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 \
      -artifact_prefix="$dir/artifacts/" -print_final_stats=1 "$dir/corpus" >"$dir/log" 2>&1) || rc=$?
    local runs
    runs="$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$dir/log" | tail -n1)"
    if [ "$rc" -eq 0 ]; then
      printf '%-24s ok    %s, corpus %s inputs\n' "$t" "${runs:-?}" "$(find "$dir/corpus" -type f | wc -l)"
    else
      printf '%-24s FAIL  (exit %s)\n' "$t" "$rc"
      grep -E -m5 'ERROR:|runtime error|contract broken|SUMMARY' "$dir/log" | sed 's/^/    /' || true
      local a
      for a in "$dir"/artifacts/*; do [ -e "$a" ] && echo "    input: $a"; done
      echo "    log:   $dir/log"
      failed+=("$t")
    fi
  done
  if [ ${#failed[@]} -ne 0 ]; then
    log "fuzz: ${#failed[@]} target(s) failed: ${failed[*]} (inputs and logs kept in $scratch;" \
      "replay one with: $build/fuzz/<target> <input>)"
    exit 1
  fi
  rm -rf "$scratch"
  log "fuzz: every target ran ${seconds} s without a finding"
}

usage() {
  sed -n '2,/^set -euo pipefail/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'
}

sub="${1:-}"
[ $# -gt 0 ] && shift
case "$sub" in
  setup) cmd_setup "$@" ;;
  build) cmd_setup; cmd_build "$@" ;;
  test) cmd_test "$@" ;;
  demo) cmd_demo "$@" ;;
  fuzz) cmd_fuzz "$@" ;;
  check) cmd_check "$@" ;;
  bench) cmd_bench "$@" ;;
  python) cmd_python "$@" ;;
  -h|--help|help|"") usage ;;
  *) log "unknown command: $sub"; usage; exit 2 ;;
esac
