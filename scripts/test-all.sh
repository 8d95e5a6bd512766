#!/bin/bash
# make test: builds the three configurations and runs their tests, each
# build's suite through run-tests.sh, in a pipeline that keeps both cores
# busy:
#   1. build win64;
#   2. run the win64 suite while win32 and then native are built;
#   3. run the win32 suite as soon as its build is done, and the native one
#      once native is built.
# The real-audio checks spend most of their time waiting on the sound
# devices; the builds beside them run at a lower priority, so that the
# checks' audio threads get a core when they wake. Each suite's output goes
# to build/<name>/test-output.log and is printed when the suite ends.
# Exits with the first failure's status after every suite has ended.
#   test-all.sh [JOBS]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${1:-2}"
builds="$root/build"
niceness=10

build() {
  cmake --build "$builds/$1" -j "$jobs"
}

declare -A suite_pid=()
# Starts one build's suite in the background.
start_suite() {
  local name="$1"
  echo "test-all: the $name suite starts"
  "$root/scripts/run-tests.sh" "$builds/$name" "$jobs" >"$builds/$name/test-output.log" 2>&1 &
  suite_pid[$name]=$!
}

status=0
failed=()
# Waits for one build's suite, prints its output and notes its result.
finish_suite() {
  local name="$1" result
  wait "${suite_pid[$name]}"
  result=$?
  echo "== the $name suite =="
  cat "$builds/$name/test-output.log"
  if [ "$result" -ne 0 ]; then
    failed+=("$name")
    [ "$status" -ne 0 ] || status=$result
  fi
}

started=$(date +%s)
build win64 || exit $?
start_suite win64
if nice -n "$niceness" cmake --build "$builds/win32" -j "$jobs"; then
  start_suite win32
else
  status=1; failed+=("win32 build")
fi
if nice -n "$niceness" cmake --build "$builds/native" -j "$jobs"; then
  start_suite native
  finish_suite native
else
  status=1; failed+=("native build")
fi
finish_suite win64
[ -z "${suite_pid[win32]:-}" ] || finish_suite win32

echo "test-all: $(( $(date +%s) - started )) s"
if [ "$status" -ne 0 ]; then
  echo "test-all: failed: ${failed[*]}"
fi
exit "$status"
