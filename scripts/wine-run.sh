#!/bin/sh
# Runs a 64-bit Windows program under Wine in the build folder's own prefix.
# Used as the CMake cross-compiling emulator, so ctest runs the test programs
# through it. RYN_BUILD_DIR names the build folder (set by CMake).
set -eu
: "${RYN_BUILD_DIR:?}"
export WINEPREFIX="$RYN_BUILD_DIR/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
