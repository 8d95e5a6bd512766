#!/bin/sh
# Installs the Debian packages the build, the tests, the demo and the benchmarks
# need. Idempotent: checks first, adds the i386 architecture (for Wine's 32-bit
# loader) only when it is missing, runs apt-get update at most once (after
# adding it), uses sudo when not root.
set -eu

want="cmake ninja-build g++ make googletest libbenchmark-dev \
g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686 \
binutils-mingw-w64-x86-64 wine wine64 wine32:i386 libwine-dev pulseaudio pulseaudio-utils sox espeak-ng \
clang libclang-rt-14-dev zip python3 python3-numpy python3-matplotlib wixl msitools xvfb imagemagick"

for arg in "$@"; do
  case "$arg" in
    --bench) want="$want librubberband-dev libsoundtouch-dev pkg-config" ;;
  esac
done

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
apt() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# A mirror caught mid-sync fails an index ("File has unexpected size") and
# apt-get update exits 100. Try three times, then go on with what was
# fetched. Where the missing index is one architecture's security updates,
# the 32-bit libraries cannot match the 64-bit ones' versions; installing
# from the release itself keeps both architectures on the same versions.
index_complete=1
update() {
  for pause in 20 60 0; do
    apt update -qq && return 0
    [ "$pause" = 0 ] && break
    echo "apt-get update failed; trying again in $pause s"
    sleep "$pause"
  done
  echo "apt-get update failed three times; installing from the indexes fetched"
  index_complete=0
}

updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  update
  updated=1
fi

missing=""
for p in $want; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
[ "$updated" = 1 ] || update
# shellcheck disable=SC2086
apt install -y -qq --no-install-recommends $missing && exit 0
[ "$index_complete" = 0 ] || exit 1
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
echo "installing from $release itself, as an index is missing"
# shellcheck disable=SC2086
apt install -y -qq --no-install-recommends -t "$release" $missing
