#!/bin/sh
# up:   creates the build folder's Wine prefix when missing and starts one
#       persistent wineserver for the test run.
# down: stops that wineserver.
set -eu
build="$1"; action="$2"
. "$(dirname "$0")/wine-env.sh"
wine_env "$build/wineprefix"
case "$action" in
  up)
    wine_prefix_create
    "$wineserver" -p </dev/null >/dev/null 2>&1 || true  # already running: keep it
    # Start the prefix's background services now, detached from any test's
    # output pipes (they would otherwise hold a test's stdout open). Now and
    # then wineboot fails on a busy machine: its output is shown, and it is
    # tried once more.
    output="$build/wineboot-output.txt"
    status=0
    "$wine64" wineboot </dev/null >"$output" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
      echo "wine-prefix.sh: wineboot failed (status $status), trying once more; it said:"
      cat "$output"
      "$wine64" wineboot </dev/null >"$output" 2>&1 || { cat "$output"; exit 1; }
    fi
    ;;
  down)
    "$wineserver" -k 2>/dev/null || true
    ;;
esac
