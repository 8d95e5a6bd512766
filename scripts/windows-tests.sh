#!/bin/bash
# Runs the ctest suites of the Windows builds (build/win64, build/win32):
#   1. each suite's tests but the real-time audio ones, one suite after the
#      other, JOBS at a time;
#   2. the real-time audio tests (label audio): one at a time within a build,
#      as their timing asks, but both builds at once. They wait on the audio
#      clock, not on the processor (a tenth of a core each), and each build
#      has its own Wine prefix and PulseAudio server.
#   windows-tests.sh BUILD_DIR JOBS
set -uo pipefail
build="$1"; jobs="$2"
suites=(win64 win32)
status=0

for suite in "${suites[@]}"; do
  (cd "$build/$suite" && ctest --output-on-failure -j "$jobs" -LE audio) || status=1
done

logs=()
pids=()
for suite in "${suites[@]}"; do
  log="$build/$suite/audio-tests.log"
  (cd "$build/$suite" && ctest --output-on-failure -L audio) >"$log" 2>&1 &
  pids+=($!)
  logs+=("$log")
done
for i in "${!suites[@]}"; do
  wait "${pids[$i]}" || status=1
  echo "---- ${suites[$i]}: real-time audio tests"
  cat "${logs[$i]}"
done
exit "$status"
