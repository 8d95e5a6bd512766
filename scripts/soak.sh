#!/bin/bash
# make soak: the long real-time sessions that make test leaves out, on the
# PulseAudio fixture, in both builds. Meant for a machine with nothing else
# running; it reports and draws what it heard and judges against its goals,
# and gates nothing. Per build: heard-delay sessions of RYN_SOAK_MINUTES
# (default 10) at DELAY 40, 100 and 220, sessions of a fifth of that at
# DELAY 40, 50, 60 and 100 on a playback device that keeps Windows'
# committed span of 30 and 40 ms, a vocoder session at DELAY 40, 100 DELAY
# changes, and 50 fresh processes' first Runs and first changes; the
# loopback measurement of the delay heard at DELAY 40, 100 and 220; then
# one heard-delay session at DELAY 100 in the 64-bit build with every core
# kept busy.
# Writes out/soak/report.md and out/soak/heard-delay.png; fails when a
# figure is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/out/soak"
records="$out/records"
jobs="${JOBS:-2}"
export RYN_SOAK_MINUTES="${RYN_SOAK_MINUTES:-10}"
rm -rf "$out"
mkdir -p "$records"

# Where 32-bit programs cannot run, the soak is the 64-bit build's alone,
# and its report says why (RYN_SOAK_SKIPPED).
. "$root/scripts/wine-env.sh"
all_bits="64 32"
if ! wine32_runs; then
  all_bits="64"
  export RYN_SOAK_SKIPPED="win32: $(wine32_missing_reason)"
  echo "soak: SKIPPED the 32-bit build's sessions: $RYN_SOAK_SKIPPED"
fi

"$root/scripts/configure.sh" win64 win32
for bits in $all_bits; do
  cmake --build "$root/build/win$bits" -j "$jobs"
done

# One build's soak tests; a failed verdict goes into the report, not the exit.
soak() {
  local bits="$1" log="$2"; shift 2
  /usr/bin/python3 "$root/scripts/wait-for-quiet.py" 120 >>"$out/quiet.txt"
  (cd "$root/build/win$bits" &&
    env RYN_LONG_TESTS=1 RYN_SOAK_OUT="$records" "$@" \
      ctest -R '^reliability_long_session_tests$' --output-on-failure -V) >"$out/$log" 2>&1 || true
}

# The loopback measurement of the delay heard, at three DELAYs.
measure() {
  local bits="$1"
  /usr/bin/python3 "$root/scripts/wait-for-quiet.py" 120 >>"$out/quiet.txt"
  (cd "$root/build/win$bits" &&
    env RYN_MEASURE_DELAYS="40 100 220" ctest -R '^rynhost.measure$' --output-on-failure -V) \
    >"$out/win$bits-measure.log" 2>&1 || true
}

started=$(date +%s)
for bits in $all_bits; do
  soak "$bits" "win$bits.log"
done
for bits in $all_bits; do
  measure "$bits"
done

# Busy loops on every core beside one session, stopped by their PIDs.
busy=()
trap 'for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT
for _ in $(seq "$(nproc)"); do
  sh -c 'while :; do :; done' &
  busy+=("$!")
done
soak 64 win64-loaded.log RYN_CPU_LOAD=1 GTEST_FILTER='Delays/HeardDelay.*/100'
for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
busy=()

minutes=$(( ($(date +%s) - started + 59) / 60 ))
/usr/bin/python3 "$root/scripts/soak_report.py" "$out" "$minutes"
echo "wrote out/soak/report.md and out/soak/heard-delay.png"
