#!/bin/sh
# Installs the Debian packages the build, the tests, the demo and the benchmarks
# need. Idempotent: checks first, runs apt-get update at most once, uses sudo
# when not root.
set -eu

want="cmake ninja-build g++ make googletest libbenchmark-dev \
g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
wine wine64 libwine-dev pulseaudio pulseaudio-utils sox espeak-ng clang libclang-rt-14-dev \
zip python3 python3-numpy python3-matplotlib wixl msitools xvfb imagemagick"

for arg in "$@"; do
  case "$arg" in
    --bench) want="$want librubberband-dev libsoundtouch-dev pkg-config" ;;
  esac
done

missing=""
for p in $want; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
