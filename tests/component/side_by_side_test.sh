#!/bin/bash
# The 32-bit and the 64-bit ryn.dll registered side by side in one prefix, as
# on 64-bit Windows: for all users and for the current user, each registry
# view names its own build's DLL (class and type library), each bitness's
# rynhost activates its own build, and unregistering one build leaves the
# other working: its class and type library, and the ProgIDs the two views
# share (as on Windows), through which its clients create the class by name;
# once both are unregistered the ProgIDs are gone. The prefix is the test's
# own. Wine keeps one view of the user's classes (Windows keeps two), so
# there the per-user checks are reported as skipped.
#   side_by_side_test.sh WORK_DIR DLL32 HOST32 DLL64 HOST64
set -u
work="$1"; dll32="$2"; host32="$3"; dll64="$4"; host64="$5"
. "$(dirname "$0")/../../scripts/wine-env.sh"
wine_env "$work/wineprefix"
# No sound server: rynhost names the module it activated, then fails to run.
export PULSE_SERVER="unix:$work/no-sound-server"
mkdir -p "$work"
wine_prefix_create
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k 2>/dev/null' EXIT

class='CLSID\{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}'
library='TypeLib\{B535C15B-1F88-4E32-99E5-2522C591D849}\1.0\0'
passed=0; failed=0

check() {  # DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok: $1"; passed=$((passed + 1))
  else
    echo "FAIL: $1"; failed=$((failed + 1))
  fi
}

wine_of() { if [ "$1" = 32 ]; then echo "$wine32"; else echo "$wine64"; fi; }
dll_of() { if [ "$1" = 32 ]; then echo "$dll32"; else echo "$dll64"; fi; }

# regsvr BITS SWITCHES...: that bitness's regsvr32 on that build's DLL.
regsvr() {
  local bits="$1" tool='C:\windows\system32\regsvr32.exe'
  shift
  [ "$bits" = 32 ] && tool='C:\windows\syswow64\regsvr32.exe'
  "$(wine_of "$bits")" "$tool" /s "$@" "$(windows_path "$(dll_of "$bits")")" </dev/null >/dev/null 2>&1 ||
    echo "note: regsvr32 ($bits-bit) $* exited $?"
}

# Whether a Windows path (long or short form) is the file FILE.
is_file() { [ -n "$1" ] && [ "$("$wine64" winepath -u "$1" 2>/dev/null | tr -d '\r')" -ef "$2" ]; }

# view_names BITS KEY [FILE]: the default value of KEY in that bitness's
# registry view names FILE (by default, that bitness's DLL).
view_names() {
  local value
  value=$("$wine64" reg query "$2" /ve "/reg:$1" 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p')
  is_file "$value" "${3:-$(dll_of "$1")}"
}

# activates BITS: that bitness's rynhost activates the registered class from
# that bitness's DLL.
activates() {
  local host="$host64" module
  [ "$1" = 32 ] && host="$host32"
  module=$("$(wine_of "$1")" "$host" --seconds 1 </dev/null 2>&1 | tr -d '\r' |
           sed -n 's/^ryn component: registered class Ryn.VelRyn.1 from //p')
  is_file "$module" "$(dll_of "$1")"
}
not() { ! "$@"; }

for scope in all-users per-user; do
  if [ "$scope" = per-user ]; then
    switches=(/n /i:user); root='HKCU\Software\Classes'
  else
    switches=(); root='HKLM\Software\Classes'
  fi
  regsvr 64 "${switches[@]}"
  regsvr 32 "${switches[@]}"
  if [ "$scope" = per-user ] && view_names 64 "$root\\$class\\InprocServer32" "$dll32"; then
    echo "skipped: $scope: the 64-bit view shows the 32-bit registration (one view of $root)"
    regsvr 32 /u "${switches[@]}"
    continue
  fi
  for bits in 64 32; do
    check "$scope: the $bits-bit view's InprocServer32 names the $bits-bit DLL" \
      view_names "$bits" "$root\\$class\\InprocServer32"
    check "$scope: the $bits-bit view's type library (win$bits) names the $bits-bit DLL" \
      view_names "$bits" "$root\\$library\\win$bits"
    check "$scope: a $bits-bit client activates the $bits-bit DLL" activates "$bits"
  done

  for gone in 64 32; do
    kept=$((96 - gone))
    regsvr "$gone" /u "${switches[@]}"
    check "$scope, $gone-bit unregistered: the $kept-bit view keeps its InprocServer32" \
      view_names "$kept" "$root\\$class\\InprocServer32"
    check "$scope, $gone-bit unregistered: the $kept-bit view keeps its type library" \
      view_names "$kept" "$root\\$library\\win$kept"
    check "$scope, $gone-bit unregistered: a $gone-bit client no longer activates a registered class" \
      not activates "$gone"
    check "$scope, $gone-bit unregistered: a $kept-bit client still activates the $kept-bit DLL by its ProgID" \
      activates "$kept"
    regsvr "$gone" "${switches[@]}"
  done
  regsvr 64 /u "${switches[@]}"
  regsvr 32 /u "${switches[@]}"
  check "$scope, both unregistered: no ProgID is left" \
    not "$wine64" reg query "$root\Ryn.VelRyn.1"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
