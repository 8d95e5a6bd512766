#!/bin/sh
# The build folders and how each is configured, in one place:
#   configure.sh NAME...
# configures build/NAME when it has not been configured yet or was
# configured before this file last changed.
#   win64, win32   the Windows builds with their tests (win32 also runs the
#                  side-by-side test against win64)
#   native         the portable code and its tests under the sanitizers
#   bench, bench-win64, bench-win32
#                  optimised builds of the benchmarks, without tests
#   fuzz           the registry script fuzzer (clang, libFuzzer)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
self="$root/scripts/configure.sh"
toolchain="$root/cmake/toolchain-mingw"

for name in "$@"; do
  build="$root/build/$name"
  if [ -f "$build/build.ninja" ] && [ "$build/build.ninja" -nt "$self" ]; then
    continue
  fi
  compilers=""
  case "$name" in
    win64) set -- -DCMAKE_TOOLCHAIN_FILE="${toolchain}64.cmake" ;;
    win32) set -- -DCMAKE_TOOLCHAIN_FILE="${toolchain}32.cmake" -DRYN_BUILD_TESTS=ON \
             -DRYN_WIN64_BUILD_DIR="$root/build/win64" ;;
    native) set -- -DCMAKE_BUILD_TYPE=Debug -DRYN_SANITIZE=ON ;;
    bench) set -- -DCMAKE_BUILD_TYPE=Release -DRYN_SANITIZE=OFF -DRYN_BUILD_TESTS=OFF -DRYN_BUILD_BENCH=ON ;;
    bench-win64) set -- -DCMAKE_TOOLCHAIN_FILE="${toolchain}64.cmake" -DCMAKE_BUILD_TYPE=Release \
                   -DRYN_BUILD_TESTS=OFF -DRYN_BUILD_BENCH=ON ;;
    bench-win32) set -- -DCMAKE_TOOLCHAIN_FILE="${toolchain}32.cmake" -DCMAKE_BUILD_TYPE=Release \
                   -DRYN_BUILD_TESTS=OFF -DRYN_BUILD_BENCH=ON ;;
    fuzz) compilers="CC=clang CXX=clang++"
          set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRYN_FUZZ=ON ;;
    *) echo "configure.sh: no build folder named '$name'" >&2; exit 2 ;;
  esac
  # shellcheck disable=SC2086
  env $compilers cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
  # A folder whose configuration did not change keeps its old file.
  touch "$build/build.ninja"
done
