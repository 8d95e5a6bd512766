#!/bin/bash
# Runs every benchmark and regenerates docs/performance.md:
#   native   frequency-shift stage against peer shifters (Google Benchmark)
#   win64    per-block cost on scripted devices, host calls, and with a private
#            PulseAudio server: Run/Stop, restarts on parameter changes,
#            heard delay against a loopback calibration, and the heard delay
#            through sessions of SESSION_MINUTES (default 10) per delay
#   win32    per-block cost and host calls, beside the 64-bit ones (the same
#            prefix holds both registrations)
#   tests    how promptly sound comes back after DELAY changes and first Runs
#            (the real-audio test at full length, in build/win64)
# Raw results go to build/bench-results; the report is generated from them.
# REPS (default 5) sets the repetitions of the timing runs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
native="$root/build/bench"
win="$root/build/bench-win64"
win32="$root/build/bench-win32"
out="$root/build/bench-results"
reps="${REPS:-5}"
jobs="${JOBS:-2}"
rm -rf "$out"
mkdir -p "$out/audio"

# Each measurement is recorded with the command that produced it.
commands="$out/commands.tsv"
: >"$commands"
run() {
  local name="$1"; shift
  printf '%s\t%s\n' "$name" "$*" >>"$commands"
  "$@"
}

"$root/scripts/configure.sh" bench bench-win64 bench-win32
cmake --build "$native" -j "$jobs"
cmake --build "$win" -j "$jobs"
cmake --build "$win32" -j "$jobs" --target ryn_block_bench ryn_host_bench

machine() {
  printf '{"when":"%s","nproc":%s,"cpu":"%s","loadavg":"%s"}\n' "$(date -u +%FT%TZ)" "$(nproc)" \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)" "$(cut -d' ' -f1-3 /proc/loadavg)"
}
machine >"$out/machine-start.json"

run native "$native/bench/ryn_bench" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/native.json" --benchmark_out_format=json >/dev/null

. "$root/scripts/wine-env.sh"
wine_env "$win/wineprefix"
wine_prefix_create
wine=$wine64
"$wine" regsvr32 /s "Z:$win/component/ryn.dll"
bin="$win/bench/win"
# The engine logs to stdout too; the measurements are the JSON lines.
json() { grep -o '{"bench".*}' || true; }

run block "$wine" "$bin/ryn_block_bench.exe" "$reps" | json >"$out/block.jsonl"
run host "$wine" "$bin/ryn_host_bench.exe" host "$reps" | json >"$out/host.jsonl"
"$wine32" 'C:\windows\syswow64\regsvr32.exe' /s "Z:$win32/component/ryn.dll"
run block32 "$wine32" "$win32/bench/win/ryn_block_bench.exe" "$reps" | json >"$out/block32.jsonl"
run host32 "$wine32" "$win32/bench/win/ryn_host_bench.exe" host "$reps" | json >"$out/host32.jsonl"

pulse="$out/pulse"
fixture="$root/scripts/pulse-fixture.sh"
"$fixture" start "$pulse"
trap '"$fixture" stop "$pulse"' EXIT
export $("$fixture" env "$pulse" | xargs)
winout="Z:$out/audio"
audiotool="$native/tools/audiotool"

run runstop "$wine" "$bin/ryn_host_bench.exe" runstop "$reps" | json >"$out/runstop.jsonl"
"$audiotool" tone "$out/audio/tone.wav" 500 16 >/dev/null
"$fixture" record "$pulse" "$out/audio/changes.wav"
"$fixture" play "$pulse" "$out/audio/tone.wav" &
tone=$!
sleep 0.5
# The tone plays throughout; the program prints when it ran and changed.
run changes "$wine" "$bin/ryn_host_bench.exe" changes 3 | json >"$out/changes.jsonl"
wait "$tone" || true
"$fixture" endrecord "$pulse"
run steps "$wine" "$bin/ryn_restart_steps.exe" "$reps" | json >"$out/steps.jsonl"

# Calibration: the same microphone and speaker joined by a loopback of known latency.
"$audiotool" clicks "$out/audio/clicks.wav" 3 >/dev/null
: >"$out/calibration.tsv"
for latency in 30 60; do
  for i in $(seq 1 3); do
    "$fixture" loopback "$pulse" "$latency" >/dev/null
    sleep 0.5
    "$fixture" record "$pulse" "$out/audio/loopback-$latency-$i.wav"
    sleep 0.3
    "$fixture" play "$pulse" "$out/audio/clicks.wav"
    sleep 0.4
    "$fixture" endrecord "$pulse"
    "$fixture" loopback "$pulse" off
    printf '%s\t%s\n' "$latency" "loopback-$latency-$i.wav" >>"$out/calibration.tsv"
  done
done
printf '%s\t%s\n' calibration "$fixture loopback DIR {30,60}; $fixture record/play (clicks)" >>"$commands"

# Calibration through Wine's DirectSound: default microphone copied straight
# to the default speaker; the tool prints what its own copying added.
: >"$out/passthrough.tsv"
for i in $(seq 1 3); do
  "$wine" "$win/tools/passthrough.exe" 6 >"$out/passthrough-$i.txt" 2>&1 &
  pass=$!
  sleep 1.5
  "$fixture" record "$pulse" "$out/audio/passthrough-$i.wav"
  sleep 0.3
  "$fixture" play "$pulse" "$out/audio/clicks.wav"
  sleep 0.4
  "$fixture" endrecord "$pulse"
  wait "$pass" || true
  lead=$(sed -n 's/^lead_ms=\([0-9.]*\).*/\1/p' "$out/passthrough-$i.txt")
  period=$(sed -n 's/^capture_period_ms=\([0-9.]*\).*/\1/p' "$out/passthrough-$i.txt")
  # A pass-through that reported nothing is left out rather than counted as 0.
  if [ -n "$lead" ] && [ -n "$period" ]; then
    printf '%s\t%s\n' "passthrough-$i.wav" "$(awk -v a="$lead" -v b="$period" 'BEGIN { print a + b }')" >>"$out/passthrough.tsv"
  fi
done
printf '%s\t%s\n' passthrough "$wine build/bench-win64/tools/passthrough.exe 6 & $fixture record/play (clicks)" >>"$commands"

run delays "$wine" "$bin/ryn_host_bench.exe" delays "$winout" 3 | json >"$out/delays.jsonl"
run session "$wine" "$bin/ryn_host_bench.exe" session "${SESSION_MINUTES:-10}" | json >"$out/session.jsonl"
"$fixture" stop "$pulse"
trap - EXIT

# Sound after DELAY changes and after first Runs: the real-audio test at its
# full length, in the tests' own build and with its own PulseAudio server; its
# figure lines are the results, its verdict goes into the report.
tests="$root/build/win64"
"$root/scripts/configure.sh" win64
cmake --build "$tests" -j "$jobs" --target reliability_long_session_tests ryn
printf '%s\t%s\n' prompt "cd build/win64 && RYN_LONG_TESTS=1 GTEST_FILTER='PromptSound.*' ctest -R '^reliability_long_session_tests\$'" >>"$commands"
verdict=passed
(cd "$tests" && RYN_LONG_TESTS=1 GTEST_FILTER='PromptSound.*' ctest -R '^reliability_long_session_tests$' -V) \
  >"$out/prompt.log" 2>&1 || verdict="failed (see build/bench-results/prompt.log)"
{ sed -n 's/.*\[ figures  \] \(prompt sound.*\)/\1/p' "$out/prompt.log"; echo "verdict: $verdict"; } >"$out/prompt.txt"

machine >"$out/machine-end.json"
/usr/bin/python3 "$root/scripts/performance-report.py" "$out" "$audiotool" >"$out/performance.md"
mkdir -p "$root/docs"
cp "$out/performance.md" "$root/docs/performance.md"
echo "wrote docs/performance.md"
