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
exec "${RYN_WINE_LOADER:-$wine64}" "$@"
