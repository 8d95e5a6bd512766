#!/bin/sh
# The installer packages under Wine, each check group in fresh prefixes
# copied from one pristine prefix:
#   msi_test.sh ROOT WORK packages   builds the packages (x64, x86, and an x64
#                                    one with a higher version) and the prefix
#   msi_test.sh ROOT WORK x64|x86    silent install, a client of that bitness,
#                                    the registry against regsvr32's for the
#                                    same DLL, silent removal leaving nothing
#   msi_test.sh ROOT WORK both       both installed side by side, a major
#                                    upgrade, removal of one
# Exit status 77 (skipped) when the group needs 32-bit programs and they
# cannot run here.
set -eu
root="$1"
work="$2"
group="$3"
here="$root/tests/installer"
. "$root/scripts/wine-env.sh"
# No menu entries on the Linux desktop: Wine would write them into the
# user's home and keep its own record of them in the prefix's registry.
wine_env "$work/base" "winemenubuilder.exe=d"
export PULSE_SERVER="unix:$work/no-sound-server"
class='{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}'
failures=0

fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
pass() { printf 'ok: %s\n' "$*"; }

need_wow64() {
  if ! wine32_runs; then
    echo "SKIPPED: $(wine32_missing_reason); the x86 package is not tested"
    exit 77
  fi
}

# A fresh prefix named $1, copied from the pristine one: its files linked
# (Wine replaces a file it changes, the registry included, rather than
# writing into it), the registry copied all the same.
fresh_prefix() {
  export WINEPREFIX="$work/$1"
  rm -rf "$WINEPREFIX"
  cp -al "$work/base" "$WINEPREFIX"
  for hive in "$WINEPREFIX"/*.reg; do
    rm "$hive"
    cp "$work/base/$(basename "$hive")" "$hive"
  done
}

# Waits until the prefix's Wine session has ended and its registry is saved.
settle() { "$wineserver" -w; }

package() { ls "$work/$1"/ryn-*-"$2".msi; }

msiexec() {
  if "$wine64" msiexec "$1" "$(windows_path "$2")" /qn; then pass "msiexec $1 $(basename "$2")"
  else fail "msiexec $1 $(basename "$2") exits with $?"; fi
}

# Runs the client with the script host of bitness $1; $2 "works" or "fails".
client() {
  if [ "$1" = x64 ]; then host=cscript; else host='C:\windows\syswow64\cscript.exe'; fi
  output=$("$wine64" "$host" //nologo "$(windows_path "$here/InstalledClient.vbs")" 2>&1 || true)
  case "$2:$output" in
    "works:"*"3 passed, 0 failed"*) pass "$1 client works" ;;
    "fails:"*"FAIL: CreateObject"*) pass "$1 client cannot create the object" ;;
    *) fail "$1 client expected to $2, said: $output" ;;
  esac
}

# The class registration in the current prefix beyond the pristine one.
classes() { python3 "$here/registry_delta.py" "$work/base/system.reg" "$WINEPREFIX/system.reg" --classes $views; }

# Checks that the machine's and the user's software settings hold nothing
# beyond the pristine prefix's but the Windows Installer's own empty keys
# (Wine's session rewrites the network cards' key each time, and Wine's
# debugger notes its settings when one of Wine's own programs crashes).
left_behind() {
  left=$( (python3 "$here/registry_delta.py" "$work/base/system.reg" "$WINEPREFIX/system.reg"
           python3 "$here/registry_delta.py" "$work/base/user.reg" "$WINEPREFIX/user.reg") |
         grep '^\(- \)\?software\\\\' | grep -v '^software\\\\[^[]*\\\\installer\\\\[^[]*$' |
         grep -v '^- software\\\\microsoft\\\\windows nt\\\\currentversion\\\\networkcards$' |
         grep -v '^software\\\\wine\\\\winedbg\( \[\|$\)' || true)
  if [ -z "$left" ]; then pass "no registry key or value of the package is left"
  else fail "left in the registry: $left"; fi
}

if [ "$group" = packages ]; then
  # A step that fails ends the script (set -e); say which, since Wine's own
  # failures print nothing.
  step="starting"
  trap 'status=$?; [ "$status" -eq 0 ] || echo "FAIL: msi_test.sh packages stopped with status $status while $step" >&2' EXIT
  rm -rf "$work"
  mkdir -p "$work"
  step="building the x64 package"
  "$root/scripts/build-msi.sh" x64 "$work/packages"
  step="building the x86 package"
  "$root/scripts/build-msi.sh" x86 "$work/packages"
  version=$(basename "$(package packages x64)" | sed 's/^ryn-\([0-9]*\)\.\([0-9]*\)\.\([0-9]*\)-x64\.msi$/\1.\2./')
  build=$(basename "$(package packages x64)" | sed 's/^ryn-[0-9]*\.[0-9]*\.\([0-9]*\)-x64\.msi$/\1/')
  step="building the newer x64 package"
  "$root/scripts/build-msi.sh" x64 "$work/newer" "$version$((build + 1))"
  # The pristine prefix. The script hosts register their own type library
  # when they first run: done here once, so that no group sees it as a change.
  step="creating the pristine prefix"
  export WINEPREFIX="$work/base"
  "$wine64" wineboot -i >/dev/null 2>&1
  for host in cscript 'C:\windows\syswow64\cscript.exe'; do
    "$wine64" "$host" //nologo "$(windows_path "$here/InstalledClient.vbs")" >/dev/null 2>&1 || true
  done
  settle
  exit 0
fi

case "$group" in
  x64)
    program_files="Program Files"
    regsvr32=regsvr32
    views=
    ;;
  x86)
    need_wow64
    program_files="Program Files (x86)"
    regsvr32='C:\windows\syswow64\regsvr32.exe'
    # Wine's installer puts every class entry of a 32-bit component into the
    # 32-bit view, where Wine's 32-bit registration writes the ProgIDs into the
    # shared keys and the interfaces into both views (which a 32-bit package
    # cannot write): the two are compared as seen from the 32-bit side.
    views=--fold-views
    ;;
  both)
    need_wow64
    views=
    ;;
  *) echo "unknown group $group" >&2; exit 2 ;;
esac

if [ "$group" != both ]; then
  msi=$(package packages "$group")
  stage=$(dirname "$msi")/msi-$group-$(basename "$msi" | sed 's/^ryn-\(.*\)-.*\.msi$/\1/')

  # What regsvr32 writes for the same DLL at the same place.
  fresh_prefix "reference-$group"
  mkdir -p "$WINEPREFIX/drive_c/$program_files/ryn"
  cp "$stage/ryn.dll" "$WINEPREFIX/drive_c/$program_files/ryn/"
  "$wine64" "$regsvr32" /s "C:\\$program_files\\ryn\\ryn.dll" || fail "regsvr32 exits with $?"
  settle
  classes >"$work/$group-regsvr32.txt"

  fresh_prefix "$group"
  msiexec /i "$msi"
  client "$group" works
  settle
  classes >"$work/$group-package.txt"
  if [ ! -s "$work/$group-package.txt" ]; then
    fail "the package registers nothing"
  elif diff -u "$work/$group-regsvr32.txt" "$work/$group-package.txt"; then
    pass "the package's class registration equals regsvr32's, $(wc -l <"$work/$group-package.txt") values"
  else
    fail "the package's class registration differs from regsvr32's (- regsvr32, + package)"
  fi

  msiexec /x "$msi"
  settle
  left_behind
  if [ -e "$WINEPREFIX/drive_c/$program_files/ryn" ]; then fail "C:\\$program_files\\ryn is left"
  else pass "no file or folder of the package is left"; fi
fi

# "name version" of each product in the prefix's list of installed programs.
installed_products() {
  awk '/^\[/ { inside = /CurrentVersion\\\\Uninstall\\\\/; name = "" }
       inside && /^"DisplayName"=/ { name = $0; sub(/^"DisplayName"="/, "", name); sub(/"$/, "", name) }
       inside && /^"DisplayVersion"=/ && name != "" { version = $0; sub(/^"DisplayVersion"="/, "", version)
                                                      sub(/"$/, "", version); print name " " version }' \
    "$WINEPREFIX/system.reg" | grep '^ryn ' | sort
}

# The class's module as the view of bitness $1 has it.
class_module() {
  if [ "$1" = x64 ]; then view=/reg:64; else view=/reg:32; fi
  "$wine64" reg query "HKCR\\CLSID\\$class\\InprocServer32" /ve "$view" 2>&1 | sed -n 's/.*REG_SZ *//p' | tr -d '\r'
}

if [ "$group" = both ]; then
  fresh_prefix both
  msiexec /i "$(package packages x64)"
  settle
  classes | grep -v '\\helpdir \[\]' >"$work/both-x64-alone.txt"
  msiexec /i "$(package packages x86)"
  client x64 works
  client x86 works
  for pair in 'x64:C:\Program Files\ryn\ryn.dll' 'x86:C:\Program Files (x86)\ryn\ryn.dll'; do
    module=$(class_module "${pair%%:*}")
    if [ "$module" = "${pair#*:}" ]; then pass "the ${pair%%:*} view's class runs $module"
    else fail "the ${pair%%:*} view's class runs '$module', not ${pair#*:}"; fi
  done

  newer=$(package newer x64)
  msiexec /i "$newer"
  settle
  expected="ryn (32-bit) $(basename "$(package packages x86)" | sed 's/^ryn-\(.*\)-x86\.msi$/\1/')
ryn (64-bit) $(basename "$newer" | sed 's/^ryn-\(.*\)-x64\.msi$/\1/')"
  products=$(installed_products)
  if [ "$products" = "$expected" ]; then pass "after the upgrade one product of each bitness: $(echo $products)"
  else fail "after the upgrade, installed: $(echo $products); expected: $(echo $expected)"; fi
  client x64 works

  msiexec /x "$(package packages x86)"
  client x86 fails
  client x64 works
  settle
  # The type library's help folder is one value that both packages write:
  # the last one installed or removed sets or takes it.
  if classes | grep -v '\\helpdir \[\]' | diff -u - "$work/both-x64-alone.txt"; then
    pass "the x64 package's registration is as before the x86 package came and went, but for the help folder"
  else
    fail "removing the x86 package changed the x64 package's registration (- now, + before)"
  fi
  if [ -e "$WINEPREFIX/drive_c/Program Files (x86)/ryn" ]; then fail "C:\Program Files (x86)\ryn is left"
  else pass "the x86 package's folder is gone"; fi
  if [ -f "$WINEPREFIX/drive_c/Program Files/ryn/ryn.dll" ]; then pass "the x64 package's module stays"
  else fail "the x64 package's module is gone"; fi
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
