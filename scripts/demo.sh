#!/bin/bash
# The demo: ryn under Wine on a private PulseAudio server, fed with the
# built-in voice sample, recorded and measured.
#
#   DELAY=ms SHIFT=steps MODE=1|2 scripts/demo.sh    (make demo DELAY=...)
#   LIVE=1 scripts/demo.sh                           (make demo LIVE=1)
#   BITS=32 scripts/demo.sh                          (make demo BITS=32)
#
# Builds the component and host (64-bit, or 32-bit with BITS=32), registers
# ryn.dll in a Wine prefix of its own (build/demo/wineprefix) with the
# regsvr32 of the same bitness and then either
#  - starts a private PulseAudio server with a virtual microphone and speaker
#    (scripts/pulse-fixture.sh), makes a calibration run through the same
#    routing without the component (tools/passthrough.exe), runs rynhost while the
#    voice sample plays into the microphone, records microphone and speaker
#    on one clock, measures them with the native audiotool (built in
#    build/native) and leaves out/demo/{input.wav,feedback.wav,demo.png,
#    report.txt}; or
#  - with LIVE=1, runs rynhost on the machine's own default microphone and
#    speaker until q or Ctrl+C (keys change the settings live).
# Every process it starts is stopped by its PID at the end, also on Ctrl+C.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
bits="${BITS:-64}"
case "$bits" in
  64) wine=$wine64; system_dir='C:\windows\system32' ;;
  32) wine=$wine32; system_dir='C:\windows\syswow64' ;;
  *) echo "demo: BITS must be 32 or 64 (got '$bits')" >&2; exit 1 ;;
esac
if [ "$bits" = 32 ] && ! wine32_runs; then
  echo "demo: BITS=32 cannot run here: $(wine32_missing_reason)" >&2
  exit 1
fi
build="$root/build/win$bits"
work="$root/build/demo"
out="$root/out/demo"
pulse="$work/pulse"
sample="$root/host/samples/voice.wav"
fixture="$root/scripts/pulse-fixture.sh"

delay="${DELAY:-100}"
shift_steps="${SHIFT:-0}"
mode="${MODE:-1}"
live="${LIVE:-0}"

fail() {
  echo "demo: $*" >&2
  exit 1
}

in_range() {  # VALUE LOW HIGH: an integer within [LOW, HIGH]
  [[ "$1" =~ ^-?[0-9]+$ ]] && [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]
}
in_range "$delay" 40 220 || fail "DELAY must be 40..220 ms (got '$delay')"
in_range "$shift_steps" -10 10 || fail "SHIFT must be -10..10 (got '$shift_steps')"
in_range "$mode" 1 2 || fail "MODE must be 1 or 2 (got '$mode')"

# ---- Processes and their cleanup ----------------------------------------------

server_pid=""
program_pid=""
play_pid=""
pulse_started=0
saved_tty=""

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

stop_pid() {  # PID SIGNAL: signal, wait up to 5 s, then kill
  local pid="$1" signal="$2" i=0
  alive "$pid" || return 0
  kill "-$signal" "$pid" 2>/dev/null || true
  while alive "$pid" && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ -n "$saved_tty" ] && stty "$saved_tty" 2>/dev/null
  # The Windows programs stop their engine on Ctrl+C (SIGINT) themselves.
  stop_pid "$program_pid" INT
  if [ "$pulse_started" = 1 ]; then
    "$fixture" endrecord "$pulse" || true
    "$fixture" stop "$pulse" || true
  fi
  stop_pid "$play_pid" TERM
  # On SIGINT the prefix's server ends the helper processes Wine started in it
  # and saves the registry.
  stop_pid "$server_pid" INT
  exit "$status"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT
trap 'exit 143' TERM

# ---- Build, prefix, registration ----------------------------------------------

"$root/scripts/install-deps.sh"
"$root/scripts/configure.sh" "win$bits"
cmake --build "$build" -j "$(nproc)" --target ryn rynhost passthrough

wine_env "$work/wineprefix"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX" "$out"
# One server for the prefix, started here so it can be stopped by its PID,
# in a session of its own: a Ctrl+C at the terminal must reach the Windows
# programs (which then stop cleanly), not the server, which would end them
# at once.
setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 &
server_pid=$!
# Wine programs must find this server rather than start one of their own:
# wait for its socket (this Wine names the socket's folder in the prefix).
server_dir="server-$(printf '%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))"
for _ in $(seq 100); do
  [ -S "/tmp/.wine-$(id -u)/$server_dir/socket" ] && break
  [ -f "$WINEPREFIX/wineserver" ] && [ -S "/tmp/$(cat "$WINEPREFIX/wineserver")/$server_dir/socket" ] && break
  alive "$server_pid" || fail "the Wine server did not start"
  sleep 0.1
done
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "demo: creating the Wine prefix $WINEPREFIX"
  "$wine64" wineboot -i </dev/null >/dev/null 2>&1
fi
"$wine" "$system_dir\\regsvr32.exe" /s "$(windows_path "$build/component/ryn.dll")" </dev/null >/dev/null 2>&1 ||
  fail "regsvr32 could not register ryn.dll"
host="$build/host/rynhost.exe"

# Real-time audio on a busy machine: a capture thread that wakes late makes
# Wine's capture lag behind for good, and the engine's write-ahead creep up.
# The prefix's server and the measured programs therefore run at the lowest
# real-time priority where that is allowed, else at a high nice level, else
# as they are.
if chrt -r 1 true 2>/dev/null; then
  priority=(chrt -r 1)
  chrt -r -p 1 "$server_pid" >/dev/null 2>&1 || true
elif [ "$(nice -n -15 nice 2>/dev/null)" = -15 ]; then
  priority=(nice -n -15)
  renice -n -15 -p "$server_pid" >/dev/null 2>&1 || true
else
  priority=()
fi
nice_wine=("${priority[@]}" "$wine")

host_args=(--delay "$delay" --shift "$shift_steps" --mode "$mode")

# ---- Live: the machine's own devices ----------------------------------------------

if [ "$live" = 1 ]; then
  echo "demo: rynhost on the default microphone and speaker; keys: +/- delay, ]/[ shift," \
       "m method, >/< volume, p pause, q quit"
  keys="$work/keys"
  rm -f "$keys"
  mkfifo "$keys"
  "${nice_wine[@]}" "$host" "${host_args[@]}" <"$keys" 2>&1 &
  program_pid=$!
  exec 3>"$keys"
  if [ -t 0 ]; then
    saved_tty=$(stty -g)
    stty -icanon -echo
    while alive "$program_pid"; do
      if IFS= read -rsn1 -t 0.2 key; then printf '%s' "${key:- }" >&3; fi
    done
  fi
  status=0
  wait "$program_pid" || status=$?
  program_pid=""
  exec 3>&-
  exit "$status"
fi

# ---- Recorded: private PulseAudio server ------------------------------------------

# The recordings are measured by the audio tools' native command-line front end.
native="$root/build/native"
"$root/scripts/configure.sh" native
cmake --build "$native" -j "$(nproc)" --target audiotool
audiotool="$native/tools/audiotool"

sample_seconds=$(/usr/bin/python3 -c "import wave,sys; w=wave.open(sys.argv[1]); print(w.getnframes()/w.getframerate())" "$sample")
run_seconds=$(/usr/bin/python3 -c "import math,sys; print(math.ceil(float(sys.argv[1])) + 3)" "$sample_seconds")

"$fixture" start "$pulse"
pulse_started=1
# shellcheck disable=SC2046
export $("$fixture" env "$pulse")

wait_for_line() {  # FILE PATTERN: until a line matches, while the program runs
  local i=0
  until grep -q "$2" "$1" 2>/dev/null; do
    alive "$program_pid" || return 1
    i=$((i + 1))
    [ $i -gt 600 ] && return 1
    sleep 0.1
  done
}

# Records the fixture's stereo mix while PROGRAM runs and the sample plays.
#   record_run NAME READY_PATTERN PROGRAM ARGS...
record_run() {
  local name="$1" ready="$2"
  shift 2
  local log="$work/$name.out"
  "$fixture" record "$pulse" "$work/$name.wav"
  "${nice_wine[@]}" "$@" </dev/null >"$log" 2>&1 &
  program_pid=$!
  if ! wait_for_line "$log" "$ready"; then
    cat "$log" >&2
    fail "$name: the program did not start (output above)"
  fi
  # In the background, so that Ctrl+C ends the wait at once.
  "$fixture" play "$pulse" "$sample" &
  play_pid=$!
  wait "$play_pid"
  play_pid=""
  local status=0
  wait "$program_pid" || status=$?
  program_pid=""
  "$fixture" endrecord "$pulse"
  if [ "$status" != 0 ]; then
    cat "$log" >&2
    fail "$name: the program failed with status $status (output above)"
  fi
}

report=""
earlier=""
attempts=3
for attempt in $(seq "$attempts"); do
  echo "demo: calibration run (microphone to speaker without ryn), $run_seconds s"
  record_run calibration '^running' "$build/tools/passthrough.exe" "$run_seconds"
  write_ahead=$(sed -n 's/^lead_ms=\([0-9.]*\).*/\1/p' "$work/calibration.out")
  [ -n "$write_ahead" ] || fail "calibration: no write-ahead reported"
  capture_period=$(sed -n 's/^capture_period_ms=\([0-9.]*\).*/\1/p' "$work/calibration.out")
  [ -n "$capture_period" ] || fail "calibration: no capture period reported"
  steady=$(sed -n 's/^steady_s=\([0-9.]*\).*/\1/p' "$work/calibration.out")
  [ -n "$steady" ] || fail "calibration: no steady stretch reported"

  echo "demo: rynhost ${host_args[*]} --seconds $run_seconds, voice sample into the microphone"
  record_run run '^delay ' "$host" "${host_args[@]}" --seconds "$run_seconds" \
    --log "$(windows_path "$work/run.csv")"

  report=$(/usr/bin/python3 "$root/scripts/demo_report.py" \
    --run "$work/run.wav" --calibration "$work/calibration.wav" --calibration-write-ahead "$write_ahead" \
    --calibration-capture-period "$capture_period" --calibration-steady "$steady" \
    --host-log "$work/run.csv" --delay "$delay" --shift "$shift_steps" --mode "$mode" \
    --attempt "$attempt" --earlier "$earlier" --out-dir "$out" --audiotool "$audiotool")
  if grep -q '^quality: ok' <<<"$report"; then break; fi
  # A disturbed run (silent feedback, a latency jump, an engine that says it
  # missed its delay, a delay measured beyond the limit) is repeated, at
  # most twice, once the VM has its processor time again (its host takes it
  # in stretches); the report says why.
  disturbed=$(sed -n 's/^quality: retry (\(.*\))$/\1/p' <<<"$report")
  earlier="${earlier:+$earlier; }attempt $attempt: $disturbed"
  echo "demo: attempt $attempt disturbed: $disturbed"
  [ "$attempt" -eq "$attempts" ] || /usr/bin/python3 "$root/scripts/wait-for-quiet.py" 60
done

echo
grep -v '^quality:' <<<"$report"
echo
echo "demo: left in $out: input.wav, feedback.wav (one time base), demo.png, report.txt"
