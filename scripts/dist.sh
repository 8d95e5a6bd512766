#!/bin/sh
# Packs one zip per architecture: the component, the reference hosts, the
# side-by-side manifest, the Windows README and the example clients; and one
# installer package per architecture beside them (scripts/build-msi.sh).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/dist"
mkdir -p "$out"
for arch in win64 win32; do
  case "$arch" in
    win64) strip=x86_64-w64-mingw32-strip ;;
    win32) strip=i686-w64-mingw32-strip ;;
  esac
  build="$root/build/$arch"
  stage="$out/ryn-$arch"
  rm -rf "$stage" "$out/ryn-$arch.zip"
  mkdir -p "$stage/examples"
  cp "$build/component/ryn.dll" "$build/host/rynhost.exe" "$build/host/rynpanel.exe" "$stage/"
  # The build keeps debugging information; users need none.
  "$strip" --strip-debug "$stage/ryn.dll" "$stage/rynhost.exe" "$stage/rynpanel.exe"
  # Named after its assembly, so that a program's manifest finds it by probing.
  cp "$root/resources/ryn.manifest" "$stage/Ryn.VelRyn.manifest"
  cp "$root/host/dist/README.txt" "$stage/"
  cp "$root/host/dist/examples/"* "$stage/examples/"
  # Windows line ends for the texts.
  for text in "$stage/README.txt" "$stage/examples/"*; do sed -i 's/\r*$/\r/' "$text"; done
  (cd "$out" && zip -qrX "ryn-$arch.zip" "ryn-$arch")
  echo "$out/ryn-$arch.zip"
done
for arch in x64 x86; do
  "$root/scripts/build-msi.sh" "$arch" "$out"
done
