#!/bin/bash
# make test: builds the three configurations and runs their tests, each part
# through run-tests.sh (a part is one build's checks with or without the
# label audio). The checks that need no real-time audio run while the next
# configuration is built at a lower priority:
#   1. build win64;
#   2. the win64 checks but the real-audio and installer ones, while win32
#      is built;
#   3. the win32 checks but the real-audio ones, while native is built;
#   4. the native checks but the real-audio one, and the installer checks
#      (they package both Windows builds);
#   5. the real-audio checks of win64, win32 and native, each part alone.
# Where this machine cannot run 32-bit programs, the win32 build is still
# built and its static checks run, but none of its checks under Wine; the
# run says so at its start and its end.
# The real-audio checks lose clicks and stall when anything busy shares the
# machine with them, even a build at a lower priority, so nothing runs
# beside them; and as the VM loses processor time to its host at times, a
# real-audio check that fails is run once more (RYN_RETRY_FAILED). Each part's output goes to build/test-output/<part>.log and is
# printed when it ends. Exits with the first failure's status after every
# part has run.
#   test-all.sh [JOBS]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${1:-2}"
builds="$root/build"
logs="$builds/test-output"
niceness=10
mkdir -p "$logs"
. "$root/scripts/wine-env.sh"
win32_checks="-LE audio"
win32_note=""
if ! wine32_runs; then
  win32_checks="-L static"
  win32_note="test-all: SKIPPED the 32-bit build's checks under Wine (its real-audio ones too) and the installer's 32-bit groups: $(wine32_missing_reason); of the 32-bit build only its build and static checks ran"
  echo "$win32_note"
fi

status=0
failed=()
fail() {
  failed+=("$1")
  [ "$status" -ne 0 ] || status="$2"
}

declare -A part_pid=()
# start PART BUILD CTEST_ARGS...: one part of a build's checks, in the background.
start() {
  local part="$1" build="$2"
  shift 2
  echo "test-all: $part starts at $(( $(date +%s) - started )) s"
  local retry=0
  [[ "$part" != *-audio ]] || retry=1
  RYN_RETRY_FAILED=$retry "$root/scripts/run-tests.sh" "$builds/$build" "$jobs" "$@" >"$logs/$part.log" 2>&1 &
  part_pid[$part]=$!
}

# finish PART: waits for it, prints its output and notes its result.
finish() {
  local part="$1" result
  wait "${part_pid[$part]}"
  result=$?
  echo "== $part (ended by $(( $(date +%s) - started )) s) =="
  cat "$logs/$part.log"
  [ "$result" -eq 0 ] || fail "$part" "$result"
}

# Builds one configuration at the lower priority; notes a failure.
background_build() {
  echo "test-all: the $1 build starts at $(( $(date +%s) - started )) s"
  nice -n "$niceness" cmake --build "$builds/$1" -j "$jobs" && return 0
  fail "the $1 build" 1
  return 1
}

started=$(date +%s)
cmake --build "$builds/win64" -j "$jobs" || exit $?
start win64 win64 -LE 'audio|installer'
win32_built=no
native_built=no
background_build win32 && win32_built=yes
finish win64
# shellcheck disable=SC2086
[ "$win32_built" = no ] || start win32 win32 $win32_checks
background_build native && native_built=yes
[ "$win32_built" = no ] || finish win32
[ "$native_built" = no ] || start native native -LE audio
if [ "$win32_built" = yes ]; then
  start installer win64 -L installer
  finish installer
fi
[ "$native_built" = no ] || finish native

start win64-audio win64 -L audio
finish win64-audio
if [ "$win32_built" = yes ] && [ -z "$win32_note" ]; then
  start win32-audio win32 -L audio
  finish win32-audio
fi
if [ "$native_built" = yes ]; then
  start native-audio native -L audio
  finish native-audio
fi

echo "test-all: $(( $(date +%s) - started )) s"
[ -z "$win32_note" ] || echo "$win32_note"
[ "$status" -eq 0 ] || echo "test-all: failed: ${failed[*]}"
exit "$status"
