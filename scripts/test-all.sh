#!/bin/bash
# make test: builds the three configurations and runs their tests, each part
# through run-tests.sh, in a pipeline that keeps both cores busy:
#   1. build win64;
#   2. run the win64 suite while win32 and then native are built;
#   3. run the win32 suite as soon as its build is done, the native suite
#      once native is built, and the installer checks (which package both
#      Windows builds) once the win64 suite is done.
# Within a suite the real-audio checks still run alone, and across the two
# suites they take turns (a lock file, see scripts/wine-run.sh). Everything
# beside them that is not a real-time check (the builds, the other suite's
# programs, the native and installer checks) runs at a lower priority, so
# that the checks' audio threads get a core when they wake; the native
# real-audio check runs last, on its own. Each part's output goes to
# build/test-output/<part>.log and is printed when the part ends.
# Exits with the first failure's status after every part has ended.
#   test-all.sh [JOBS]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${1:-2}"
builds="$root/build"
logs="$builds/test-output"
export RYN_BACKGROUND_NICENESS=10
export RYN_REAL_TIME_LOCK="$logs/real-time.lock"
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
    prefix=(nice -n "$RYN_BACKGROUND_NICENESS")
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
  nice -n "$RYN_BACKGROUND_NICENESS" cmake --build "$builds/$1" -j "$jobs" && return 0
  fail "the $1 build" 1
  return 1
}

started=$(date +%s)
cmake --build "$builds/win64" -j "$jobs" || exit $?
start win64 win64 -LE installer
win32_built=no
native_built=no
if background_build win32; then
  win32_built=yes
  start win32 win32
fi
if background_build native; then
  native_built=yes
  start native nice native -LE audio
  finish native
fi
finish win64
if [ "$win32_built" = yes ]; then
  start installer nice win64 -L installer
  finish installer
  finish win32
fi
if [ "$native_built" = yes ]; then
  start native-audio native -L audio
  finish native-audio
fi

echo "test-all: $(( $(date +%s) - started )) s"
[ "$status" -eq 0 ] || echo "test-all: failed: ${failed[*]}"
exit "$status"
