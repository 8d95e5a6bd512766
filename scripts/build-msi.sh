#!/bin/sh
# Builds the installer package of one architecture from the build folders:
#   build-msi.sh x64|x86 OUT_DIR [VERSION]
# into OUT_DIR/ryn-<version>-<arch>.msi. VERSION defaults to the version block
# of the component's resources (major.minor.build of FILEVERSION). The package's
# registry entries are generated from the component's registry script and type
# library by the win64 build's wixregistry under Wine, in a prefix of its own.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
arch="$1"
out="$2"
case "$arch" in
  x64) build="$root/build/win64"; strip=x86_64-w64-mingw32-strip ;;
  x86) build="$root/build/win32"; strip=i686-w64-mingw32-strip ;;
  *) echo "build-msi.sh: the architecture is x64 or x86" >&2; exit 2 ;;
esac
version="${3:-$(sed -n 's/^ *FILEVERSION *\([0-9]*\), *\([0-9]*\), *\([0-9]*\),.*/\1.\2.\3/p' "$root/resources/ryn.rc")}"
[ -n "$version" ] || { echo "build-msi.sh: no FILEVERSION in resources/ryn.rc" >&2; exit 1; }
generator="$root/build/win64/installer/wixregistry.exe"
for file in "$build/component/ryn.dll" "$build/host/rynhost.exe" "$build/component/generated/ryn.tlb" "$generator"; do
  [ -f "$file" ] || { echo "build-msi.sh: $file is missing; build first" >&2; exit 1; }
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
stage="$out/msi-$arch-$version"
rm -rf "$stage"
mkdir -p "$stage"
cp "$build/component/ryn.dll" "$build/host/rynhost.exe" "$stage/"
# The panel program, once the build makes one (not a copy in a test's or a
# prefix's folder).
panel=$(find "$build" \( -path "$build/installer-test" -o -name '*prefix' \) -prune -o -name rynpanel.exe -print -quit)
[ -n "$panel" ] && cp "$panel" "$stage/"
"$strip" --strip-debug "$stage/"*.exe "$stage/ryn.dll"
sed 's/\r*$/\r/' "$root/host/dist/README.txt" >"$stage/README.txt"
cp "$root/installer/ryn.wxs" "$stage/"

. "$root/scripts/wine-env.sh"
wine_env "$root/build/win64/package-prefix"
wine_prefix_create
"$wine64" "$generator" "$(windows_path "$root/resources/ryn.rgs")" \
  "$(windows_path "$build/component/generated/ryn.tlb")" "$(windows_path "$stage/registry.wxi")" \
  ryn.dll INSTALLFOLDER "Registry$arch" "Registry$arch" RegistryShared "$arch" ||
  { status=$?; echo "build-msi.sh: wixregistry.exe failed with status $status for $arch" >&2; exit 1; }

package="$out/ryn-$version-$arch.msi"
defines="-D Arch=$arch -D Version=$version"
[ -n "$panel" ] && defines="$defines -D Panel=1"
# shellcheck disable=SC2086
(cd "$stage" && wixl -a "$arch" $defines -o "$package" ryn.wxs)
echo "$package"
