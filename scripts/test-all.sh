#!/bin/bash
# make test: builds the three configurations and runs their tests, each part
# through run-tests.sh:
#   1. build win64;
#   2. run the win64 suite (but for the installer checks) while win32 and
#      native are built, and then the native suite but for its real-audio
#      check, all three at a lower priority;
#   3. run the win32 suite;
#   4. run the installer checks (they package both Windows builds) and the
#      native real-audio check.
# The two Wine suites never overlap, and nothing else that runs Wine runs
# beside them: the real-audio checks lose clicks and time when another
# prefix's programs share the machine, even at a lower priority, while
# builds and native tests at a lower priority leave them alone. Each part's
# output goes to build/test-output/<part>.log and is printed when it ends.
# Exits with the first failure's status after every part has run.
#   test-all.sh [JOBS]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${1:-2}"
builds="$root/build"
logs="$builds/test-output"
niceness=10
mkdir -p "$logs"

status=0
failed=()
fail() {
  failed+=("$1")
  [ "$status" -ne 0 ] || status="$2"
}

declare -A part_pid=()
# start PART [nice] BUILD CTEST_ARGS...: one part of a suite, in the background.
start() {
  local part="$1" prefix=()
  shift
  if [ "$1" = nice ]; then
    prefix=(nice -n "$niceness")
    shift
  fi
  local build="$1"
  shift
  echo "test-all: $part starts"
  "${prefix[@]}" "$root/scripts/run-tests.sh" "$builds/$build" "$jobs" "$@" >"$logs/$part.log" 2>&1 &
  part_pid[$part]=$!
}

# finish PART: waits for it, prints its output and notes its result.
finish() {
  local part="$1" result
  wait "${part_pid[$part]}"
  result=$?
  echo "== $part =="
  cat "$logs/$part.log"
  [ "$result" -eq 0 ] || fail "$part" "$result"
}

# Builds one configuration at the lower priority; notes a failure.
background_build() {
  nice -n "$niceness" cmake --build "$builds/$1" -j "$jobs" && return 0
  fail "the $1 build" 1
  return 1
}

started=$(date +%s)
cmake --build "$builds/win64" -j "$jobs" || exit $?
start win64 win64 -LE installer
win32_built=no
native_built=no
background_build win32 && win32_built=yes
if background_build native; then
  native_built=yes
  start native nice native -LE audio
  finish native
fi
finish win64
if [ "$win32_built" = yes ]; then
  start win32 win32
  finish win32
  start installer win64 -L installer
  finish installer
fi
if [ "$native_built" = yes ]; then
  start native-audio native -L audio
  finish native-audio
fi

echo "test-all: $(( $(date +%s) - started )) s"
[ "$status" -eq 0 ] || echo "test-all: failed: ${failed[*]}"
exit "$status"
