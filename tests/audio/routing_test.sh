#!/bin/sh
# The fixture seen from scripts: recorder, player and loopback calibration.
# Plays a click train into the microphone and records the stereo mix; the
# speaker channel must stay silent without a route and carry the clicks
# exactly the loopback's latency later with one.
#   routing_test.sh FIXTURE_SCRIPT PULSE_DIR AUDIOTOOL OUT_DIR
set -eu
fixture="$1"; dir="$2"; tool="$3"; out="$4"
mkdir -p "$out"
clicks="$out/routing-clicks.wav"
"$tool" clicks "$clicks" 3
failures=0

record_clicks() {
  "$fixture" record "$dir" "$1"
  sleep 0.3
  "$fixture" play "$dir" "$clicks"
  sleep 0.4
  "$fixture" endrecord "$dir"
}

check() {
  if [ "$1" = 1 ]; then
    echo "ok: $2"
  else
    echo "FAILED: $2"
    failures=$((failures + 1))
  fi
}

record_clicks "$out/routing-silent.wav"
levels=$("$tool" rms "$out/routing-silent.wav")
echo "no route: $levels"
check "$(echo "$levels" | awk -F'[= ]' '{print ($2 > 200 && $4 < 1) ? 1 : 0}')" \
  "without a route the microphone carries the clicks and the speaker is silent"

for latency in 30 80; do
  "$fixture" loopback "$dir" "$latency" >/dev/null
  sleep 0.5
  record_clicks "$out/routing-loopback-$latency.wav"
  "$fixture" loopback "$dir" off
  result=$("$tool" delay "$out/routing-loopback-$latency.wav" 500)
  echo "loopback $latency ms: $result"
  check "$(echo "$result" | awk -F'[= ]' -v want="$latency" \
    '{d = $2 - want; if (d < 0) d = -d; print (d <= 2 && $4 >= 0.8) ? 1 : 0}')" \
    "a $latency ms loopback delays the speaker channel by $latency ms (within 2 ms)"
done

[ "$failures" -eq 0 ]
