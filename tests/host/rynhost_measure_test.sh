#!/bin/bash
# rynhost --measure on the PulseAudio fixture under Wine:
#  - with nothing routed back to the microphone it fails (exit 1) with its
#    advice and no figure;
#  - with the fixture's echo route (speaker back into the microphone, its
#    own latency measured and taken out) at DELAY 100, the devices' latency
#    agrees within 10 ms with the pass-through's routing figure (lag less
#    write lead less capture period, as the real-audio tests set it against
#    the engine), and the heard delay within 5 ms with the lag from each
#    probe click at the microphone to its first pass at the speaker in the
#    fixture's own recording of the same run; the log carries the devices'
#    latency.
# A measurement whose probe was lost (exit 1 on a loaded machine) is taken
# once more. RYN_MEASURE_DELAYS (default "100"; the soak: "40 100 220")
# lists the DELAYs measured; each one's figures are printed for the soak's
# report.
#   RYN_BUILD_DIR=... rynhost_measure_test.sh WINE_RUN RYNHOST.EXE PASSTHROUGH.EXE FIXTURE PULSE_DIR WORK_DIR
set -u
wine="$1"; host="$2"; passthrough="$3"; fixture="$4"; pulse="$5"; work="$6"
check="$(dirname "$0")/loopback_check.py"
mkdir -p "$work"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
near() {  # near A B TOLERANCE
  awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(d <= t) }'
}

# No route back: a failure with advice, and no number.
"$fixture" echo "$pulse" off
out="$work/measure-silent.txt"
"$wine" "$host" --measure --delay 100 >"$out" 2>&1
status=$?
if grep -q "measure again" "$out"; then
  echo "the probe was lost ($(grep 'measure again' "$out")): measuring again"
  "$wine" "$host" --measure --delay 100 >"$out" 2>&1
  status=$?
fi
if [ "$status" -eq 1 ] && grep -q "No echo of the probe came back" "$out" && ! grep -q "you hear" "$out"; then
  echo "ok: without a loopback: $(grep 'No echo' "$out")"
else
  fail "without a loopback rynhost --measure exited $status"; grep -v '^ALSA' "$out"
fi

# The routing figure of the pass-through, from three starts: Wine's routing
# steps by up to a period from one start of the devices to the next, and
# its pass-through's write lead now and then reads far off, so the devices'
# latency is set against the start nearest to it. A start whose output
# slipped (its lead then reads below zero) or whose clicks were lost counts
# for nothing.
clicks="$work/measure-clicks.wav"
python3 "$check" clicks "$clicks"
calibrate() {
  "$fixture" record "$pulse" "$work/measure-routing.wav"
  "$wine" "$passthrough" 5 >"$work/measure-passthrough.txt" 2>/dev/null &
  pid=$!
  for _ in $(seq 100); do grep -q running "$work/measure-passthrough.txt" && break; sleep 0.1; done
  sleep 0.5
  "$fixture" play "$pulse" "$clicks"
  wait "$pid"
  "$fixture" endrecord "$pulse"
  lag=$(python3 "$check" lag "$work/measure-routing.wav")
  lead=$(sed -n 's/^lead_ms=//p' "$work/measure-passthrough.txt")
  period=$(sed -n 's/^capture_period_ms=//p' "$work/measure-passthrough.txt")
  [ -n "$lag" ] && [ -n "$lead" ] && [ -n "$period" ] && awk -v w="$lead" 'BEGIN { exit !(w > 0) }'
}
routings=()
for _ in 1 2 3; do
  if calibrate; then
    routings+=("$(awk -v l="$lag" -v w="$lead" -v p="$period" 'BEGIN { printf "%.1f", l - w - p }')")
    echo "pass-through: lag $lag ms, write lead $lead ms, capture period $period ms: routing ${routings[-1]} ms"
  else
    echo "the pass-through slipped or lost its clicks (lead '$lead' ms, lag '$lag' ms)"
  fi
done
[ "${#routings[@]}" -gt 0 ] || fail "no start of the pass-through measured the routing"
nearest_routing() {  # nearest_routing MS: the pass-through routing nearest to MS
  printf '%s\n' "${routings[@]}" |
    awk -v m="$1" '{ d = $1 - m; if (d < 0) d = -d; if (NR == 1 || d < best) { best = d; r = $1 } } END { print r }'
}

# The measurement through the echo route, recorded by the fixture.
echo_ms=$("$fixture" echo "$pulse" 5 | sed -n 's/^echo_latency_ms=//p')
echo "echo route: $echo_ms ms"
log="$work/measure-log.csv"
measure() {
  rm -f "$log"
  "$fixture" record "$pulse" "$work/measure-echo.wav"
  sleep 0.3
  "$wine" "$host" --measure --delay "$delay" --log "$(printf 'Z:%s' "$log" | tr / '\\')" >"$work/measure.txt" 2>&1
  status=$?
  "$fixture" endrecord "$pulse"
}
for delay in ${RYN_MEASURE_DELAYS:-100}; do
  measure
  if [ "$status" -ne 0 ]; then
    echo "the probe was lost ($(grep -v '^ALSA' "$work/measure.txt" | tail -1)): measuring again"
    measure
  fi
  result=$(grep "you hear" "$work/measure.txt")
  heard=$(echo "$result" | sed -n 's/.*you hear \([0-9]*\) ms.*/\1/p')
  devices=$(echo "$result" | sed -n 's/.*devices add \([0-9]*\) ms.*/\1/p')
  if [ "$status" -ne 0 ] || [ -z "$heard" ] || [ -z "$devices" ]; then
    fail "rynhost --measure --delay $delay exited $status"; grep -v '^ALSA' "$work/measure.txt"
  else
    echo "measured: $result"
    devices_net=$(awk -v d="$devices" -v e="$echo_ms" 'BEGIN { printf "%.1f", d - e }')
    heard_net=$(awk -v h="$heard" -v e="$echo_ms" 'BEGIN { printf "%.1f", h - e }')
    routing=$(nearest_routing "$devices_net")
    if near "$devices_net" "${routing:-x}" 10; then
      echo "ok: devices $devices_net ms (less the echo route) against routing $routing ms"
    else
      fail "devices $devices_net ms (less the echo route) against routing $routing ms"
    fi
    clicks_heard=$(python3 "$check" heard "$work/measure-echo.wav")
    echo "[ figures  ] loopback measurement, DELAY $delay: devices $devices_net ms against routing $routing ms;" \
      "heard $heard_net ms against $clicks_heard ms from the fixture's recording (both less the echo route)"
    if near "$heard_net" "$clicks_heard" 5; then
      echo "ok: heard $heard_net ms (less the echo route) against $clicks_heard ms from the fixture's recording"
    else
      fail "heard $heard_net ms (less the echo route) against $clicks_heard ms from the fixture's recording"
    fi
    logged=$(awk -F, 'NR == 2 { print $8 }' "$log")
    near "${logged:-x}" "$devices" 0.5 && echo "ok: logged devices' latency $logged ms" ||
      fail "logged devices' latency '$logged', printed $devices ms"
  fi
done
"$fixture" echo "$pulse" off
[ "$failures" -eq 0 ] && echo "all passed"
[ "$failures" -eq 0 ]
