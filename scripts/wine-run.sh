#!/bin/sh
# Runs a Windows program under Wine in the build folder's own prefix, through
# the loader of the build's bitness. Used as the CMake cross-compiling
# emulator, so ctest runs the test programs through it. RYN_BUILD_DIR names the
# build folder, RYN_WINE_LOADER the loader (both set by CMake; the 64-bit one
# when unset).
set -eu
: "${RYN_BUILD_DIR:?}"
export WINEPREFIX="$RYN_BUILD_DIR/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "${RYN_WINE_LOADER:-/usr/lib/wine/wine64}" "$@"
