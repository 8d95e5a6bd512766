#!/bin/sh
# Packs one zip per architecture: the component, the reference host, the
# side-by-side manifest, the Windows README and the example clients.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/dist"
mkdir -p "$out"
for arch in win64 win32; do
  build="$root/build/$arch"
  stage="$out/ryn-$arch"
  rm -rf "$stage" "$out/ryn-$arch.zip"
  mkdir -p "$stage/examples"
  cp "$build/component/ryn.dll" "$build/host/rynhost.exe" "$stage/"
  cp "$root/resources/ryn.manifest" "$stage/"
  cp "$root/host/dist/README.txt" "$stage/"
  cp "$root/host/dist/examples/"* "$stage/examples/"
  (cd "$out" && zip -qr "ryn-$arch.zip" "ryn-$arch")
  echo "$out/ryn-$arch.zip"
done
