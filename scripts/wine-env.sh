# Wine as every script and test runs it; sourced (POSIX sh).
#   wine_env PREFIX [OVERRIDES]  exports WINEPREFIX, a quiet WINEDEBUG (unless
#                                one is set) and the DLL overrides: no .NET or
#                                HTML engine installer, plus OVERRIDES
#   wine_prefix_create           creates the prefix when it is missing
#   windows_path PATH            Z:\... for a Linux path
#   wine32_runs                  true where 32-bit programs can run (below)
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

# 32-bit Windows programs run through Wine's 32-bit loader, itself an i386
# program. Some kernels run 64-bit code only (their execve refuses i386
# programs with ENOEXEC), and there no 32-bit program runs at all, however
# complete the installation.
wine32_runs() { [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] && "$wine32" --version >/dev/null 2>&1; }

# Says why 32-bit programs cannot run here, for a check that skips them.
wine32_missing_reason() {
  if [ ! -x "$wine32" ] || [ ! -d /usr/lib/i386-linux-gnu/wine/i386-windows ]; then
    echo "32-bit Wine is missing ($wine32 and wine32:i386)"
  else
    echo "this machine cannot run 32-bit programs: its kernel refuses i386 code ($wine32 --version fails)"
  fi
}
