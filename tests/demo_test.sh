#!/usr/bin/env bash
# Runs ./qelkit.sh demo with prebuilt programs and checks what a newcomer
# sees (QR code, stored account, both statistics tables), that it cleans up
# after itself (temporary directory gone, substitute platform stopped), and
# that a TERM in the middle of the login cleans up the same way, its login
# child included.
#   demo_test.sh <repository> <qelkit> <platform-sim> <scratch dir>
set -euo pipefail

ROOT="$1"
WORK="$4"
export QELKIT_DEMO_QELKIT="$2" QELKIT_DEMO_PLATFORM_SIM="$3"

fail() { printf 'demo test: %s\n' "$*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK/tmp"
export TMPDIR="$WORK/tmp"
repo_data_before="$(ls -d "$ROOT/json" 2>/dev/null || true)"

# No process may be left behind that was started in the demo's directory.
no_leftovers() {
  local i
  for i in $(seq 1 100); do
    if ! pgrep -f "$WORK/tmp/" >/dev/null; then
      [ -z "$(ls -A "$WORK/tmp")" ] || fail "the demo left files behind: $(ls -A "$WORK/tmp")"
      return 0
    fi
    sleep 0.1
  done
  fail "processes left running: $(pgrep -af "$WORK/tmp/")"
}

out="$WORK/demo.out"
status=0
bash "$ROOT/qelkit.sh" demo >"$out" 2>&1 || status=$?
cat "$out"
[ "$status" -eq 0 ] || fail "the demo exited with status $status"

section() {  # the lines between the heading "== $1" and the next heading
  awk -v h="== $1" 'index($0, h) == 1 { on = 1; next } /^== / { on = 0 } on' "$out"
}
account="$(sed -n 's/^stored account: //p' "$out")"
[ -n "$account" ] || fail "no stored account shown"
section "qelkit login --wait" | grep '█' >/dev/null || fail "no QR code shown"
[ "$(section "qelkit accounts" | sed '/^$/d')" = "$account" ] || fail "accounts does not list $account"
stats="$(section "qelkit stats $account")"
echo "$stats" | grep '^drama_name  *view_number  *iaa_income  *mount_income$' >/dev/null || fail "no statistics table"
[ "$(echo "$stats" | grep -c .)" -ge 3 ] || fail "the statistics table has no rows"
detail="$(section "qelkit detail $account")"
echo "$detail" | grep '^date .* qel_nickname$' >/dev/null || fail "no detailed statistics table"
[ "$(echo "$detail" | grep -c "  $account  ")" -eq 100 ] || fail "expected 100 detailed rows"
grep -q 'stopping the substitute platform' "$out" || fail "the platform was not stopped"
no_leftovers
[ "$(ls -d "$ROOT/json" 2>/dev/null || true)" = "$repo_data_before" ] || fail "the demo wrote into the repository"

# TERM while the login is waiting: the login's child is cancelled, the
# platform stopped and the directory removed, all before the demo ends.
bash "$ROOT/qelkit.sh" demo >"$WORK/term.out" 2>&1 &
demo_pid=$!
started() {  # the platform and the login child, both named after the demo's directory
  # (each by its own command line: a short-lived helper such as 'head' reading
  # the platform's ready file is named after the directory as well)
  local procs
  procs="$(pgrep -af "$WORK/tmp/qelkit-demo" || true)"
  [[ "$procs" == *"--ready-file $WORK/tmp/qelkit-demo"* && "$procs" == *QelDriver* ]]
}
for i in $(seq 1 600); do
  started && break
  sleep 0.1
done
started || { cat "$WORK/term.out"; fail "the second demo did not start its login"; }
kill -TERM "$demo_pid"
status=0
wait "$demo_pid" || status=$?
[ "$status" -eq 143 ] || { cat "$WORK/term.out"; fail "the interrupted demo exited with $status, not 143"; }
if pgrep -f "$WORK/tmp/" >/dev/null; then fail "still running after the demo ended: $(pgrep -af "$WORK/tmp/")"; fi
grep -q 'stopping the substitute platform' "$WORK/term.out" || fail "the interrupted demo did not stop the platform"
no_leftovers
echo "demo test: ok"
