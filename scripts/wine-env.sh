# Wine as every script and test runs it; sourced (POSIX sh).
#   wine_env PREFIX [OVERRIDES]  exports WINEPREFIX, a quiet WINEDEBUG (unless
#                                one is set) and the DLL overrides: no .NET or
#                                HTML engine installer, plus OVERRIDES
#   wine_prefix_create           creates the prefix when it is missing
#   windows_path PATH            Z:\... for a Linux path
# and names the loaders (wine64, wine32) and the server (wineserver).
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

wine_env() {
  export WINEPREFIX="$1"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=${2:+;$2}"
}

wine_prefix_create() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine64" wineboot -i </dev/null >/dev/null 2>&1 ||
      { echo "wine-env.sh: wineboot -i failed in $WINEPREFIX" >&2; return 1; }
    "$wineserver" -w
  fi
}

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
