#!/bin/sh
# Runs a Windows program under Wine in the build folder's own prefix, through
# the loader of the build's bitness. Used as the CMake cross-compiling
# emulator, so ctest runs the test programs through it. RYN_BUILD_DIR names the
# build folder, RYN_WINE_LOADER the loader (both set by CMake; the 64-bit one
# when unset).
set -eu
: "${RYN_BUILD_DIR:?}"
. "$(dirname "$0")/wine-env.sh"
# A test may set its own overrides (one that hides ryn.dll, say).
overrides="${WINEDLLOVERRIDES:-}"
wine_env "$RYN_BUILD_DIR/wineprefix"
[ -z "$overrides" ] || export WINEDLLOVERRIDES="$overrides"
# While make test runs the suites of both builds side by side, it sets
# RYN_BACKGROUND_NICENESS and RYN_REAL_TIME_LOCK. A real-time check
# (RYN_REAL_TIME, set by the audio tests) then holds the lock file for as long
# as it runs, so that no two of them share the machine; any other program
# runs at the lower priority and yields the CPU to them.
loader="${RYN_WINE_LOADER:-$wine64}"
if [ -n "${RYN_REAL_TIME:-}" ]; then
  if [ -n "${RYN_REAL_TIME_LOCK:-}" ] && [ -z "${RYN_REAL_TIME_LOCK_HELD:-}" ]; then
    export RYN_REAL_TIME_LOCK_HELD=1
    exec flock "$RYN_REAL_TIME_LOCK" "$loader" "$@"
  fi
elif [ -n "${RYN_BACKGROUND_NICENESS:-}" ]; then
  renice -n "$RYN_BACKGROUND_NICENESS" -p $$ >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
