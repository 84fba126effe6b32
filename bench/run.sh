#!/usr/bin/env bash
# Runs every benchmark program of a build and prints one table of their
# summary rows, with the machine it ran on.
#   bash bench/run.sh BUILD_DIR
# Each program's own output goes by as it runs; the table comes last. The
# exit status is non-zero only when a program is missing or fails; a missed
# target shows as "over" in the table.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BENCH_DIR="$1/bench"

# Program and the flags that keep the whole run within a few minutes on two
# cores (each program sets its own repetitions; see its header).
PROGRAMS=(
  "bench_gqb --benchmark_min_time=0.2"
  "bench_sealbox --benchmark_min_time=0.2"
  "bench_fanout --benchmark_min_time=0.2"
  "bench_detailed"
  "bench_pull"
)

machine() {
  local cpu mem
  cpu="$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)"
  mem="$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  printf '%s cores (nproc), %s, %s memory, %s' "$(nproc)" "${cpu:-unknown CPU}" "${mem:-unknown}" \
    "$(date -u '+%Y-%m-%d %H:%M UTC')"
}

load() { cut -d ' ' -f 1-3 /proc/loadavg; }

rows_file="$(mktemp)"
trap 'rm -f "$rows_file"' EXIT
failed=()
load_before="$(load)"

for entry in "${PROGRAMS[@]}"; do
  read -r -a cmd <<<"$entry"
  program="$BENCH_DIR/${cmd[0]}"
  if [ ! -x "$program" ]; then
    echo "run.sh: $program is not built" >&2
    failed+=("${cmd[0]} (not built)")
    continue
  fi
  printf '\n== %s ==\n' "${cmd[0]}"
  out="$(mktemp)"
  timeout 900 "$program" "${cmd[@]:1}" | tee "$out"
  rc=${PIPESTATUS[0]}
  grep -E '^\| .* \|$' "$out" >>"$rows_file"
  rm -f "$out"
  if [ "$rc" -ne 0 ]; then
    echo "run.sh: ${cmd[0]} failed (exit status $rc)" >&2
    failed+=("${cmd[0]} (exit status $rc)")
  fi
done

printf '\nMachine: %s; load average %s before, %s after.\n\n' "$(machine)" "$load_before" "$(load)"
echo '| metric | value | target | verdict |'
echo '|---|---|---|---|'
cat "$rows_file"

if [ ${#failed[@]} -gt 0 ]; then
  printf '\nrun.sh: failed: %s\n' "${failed[*]}" >&2
  exit 1
fi
