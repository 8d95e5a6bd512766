#!/bin/sh
# up:   creates the build folder's Wine prefix when missing and starts one
#       persistent wineserver for the test run.
# down: stops that wineserver.
set -eu
build="$1"; action="$2"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
case "$action" in
  up)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
      "$server" -w
    fi
    "$server" -p </dev/null >/dev/null 2>&1 || true  # already running: keep it
    # Start the prefix's background services now, detached from any test's
    # output pipes (they would otherwise hold a test's stdout open).
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
    ;;
  down)
    "$server" -k 2>/dev/null || true
    ;;
esac
