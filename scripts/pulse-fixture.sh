#!/bin/sh
# A private PulseAudio server with a virtual microphone and speaker, for tests
# and the demo. Nothing here touches a sound card or the user's own server.
#
#   pulse-fixture.sh start DIR           start the server (stops a stale one first)
#   pulse-fixture.sh stop DIR            stop everything started under DIR, by PID
#   pulse-fixture.sh env DIR             print the environment a client needs
#   pulse-fixture.sh record DIR OUT.wav  start recording in the background
#   pulse-fixture.sh endrecord DIR       stop that recording (the file is complete)
#   pulse-fixture.sh play DIR IN.wav     play a mono file into the microphone, wait
#   pulse-fixture.sh loopback DIR MS     route the microphone to the speaker directly
#                                        with MS of latency (calibration), until stop
#                                        or "loopback DIR off"
#   pulse-fixture.sh echo DIR MS         route the speaker back into the microphone with
#                                        MS of latency (a loopback measurement's cable),
#                                        until stop or "echo DIR off"; prints the route's
#                                        measured latency, echo_latency_ms=<ms>, which
#                                        is also kept in DIR/echo_latency_ms
#
# Routing. One stereo null sink "rec" carries everything: "mic" is its left
# channel and "spk" its right channel (remap sinks). The default source is
# mic.monitor (what a capturing program hears) and the default sink is spk
# (where it plays). Recording rec.monitor therefore gives the microphone
# signal on the left and the speaker signal on the right on one sample clock:
# the lag between the two channels is the input-to-output delay, with no
# offset from starting two recorders. "rec" never rewinds: a rewind renders
# a stretch of the microphone once more, and with rewinds Wine's capture
# streams were seen to run a hundred milliseconds further behind. A loopback
# from rec.monitor into a spare sink ("pace") keeps "rec" rendering in steps
# of a few milliseconds even when no other client listens: a stream that
# joins then waits behind milliseconds, not behind a long rendered stretch
# (without it, the latency of Wine's streams varied by 40 ms between starts).
#
# A script that wants what went into the microphone and what came out of the
# speaker, from one instant on:
#   pulse-fixture.sh start D; pulse-fixture.sh record D mix.wav
#   (start the program under test); pulse-fixture.sh play D voice.wav
#   pulse-fixture.sh endrecord D; pulse-fixture.sh stop D
#   sox mix.wav input.wav remix 1; sox mix.wav feedback.wav remix 2
#   audiotool delay mix.wav   -> lag of the speaker behind the microphone
# Wine's own capture and playback add about 60 ms to any program's delay;
# the pass-through tool (build/win64/tools/passthrough.exe SECONDS) run in
# place of the program under test measures that: routing latency = lag -
# the lead_ms it prints.
#
# Clients find the server through XDG_RUNTIME_DIR=DIR/xdg or
# PULSE_SERVER=unix:DIR/xdg/pulse/native (see "env"). The server accepts
# anonymous clients: its socket lies in a directory only the owner can enter.
# PULSE_FIXTURE_LOG_LEVEL=4 at start gives a debug log in DIR/pa.log.
set -eu

usage() {
  sed -n '2,18p' "$0" >&2
  exit 2
}

[ $# -ge 2 ] || usage
action="$1"
dir="$2"
case "$dir" in /*) ;; *) dir="$(pwd)/$dir" ;; esac

# 44100 Hz: Wine mixes and captures in 10 ms periods, a whole number of
# frames at this rate; at 22050 Hz its streams drift by milliseconds per
# second. PulseAudio converts for clients that ask for other rates.
RATE=44100
# The shared Python kit (clicks, onsets, recordings) beside this script.
kit=$(cd "$(dirname "$0")" && pwd)
export XDG_RUNTIME_DIR="$dir/xdg"
export PULSE_SERVER="unix:$dir/xdg/pulse/native"
# The daemon and the command-line clients keep their state (cookie) here, not
# in the user's home folder.
export HOME="$dir/home"

# True while PID runs (a zombie counts as ended: this container's init may
# never reap it).
alive() {
  [ -r "/proc/$1/stat" ] || return 1
  state=$(sed 's/^.*) \(.\).*$/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Stops the process whose PID is in FILE if it is still the program NAME
# (a PID may have been reused since), waits for it, removes FILE.
stop_pid_file() {
  file="$1"; name="$2"; signal="${3:-TERM}"
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] &&
     tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "$name"; then
    kill "-$signal" "$pid" 2>/dev/null || true
    i=0
    while alive "$pid"; do
      i=$((i + 1))
      if [ $i -eq 50 ]; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
      [ $i -gt 60 ] && break
      sleep 0.1
    done
  fi
  rm -f "$file"
}

start() {
  stop
  mkdir -p "$dir" "$HOME"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$dir/fixture.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=rec norewinds=1 rate=$RATE channels=2 channel_map=front-left,front-right sink_properties=device.description=rec
load-module module-remap-sink sink_name=mic master=rec channels=1 channel_map=mono master_channel_map=front-left remix=no sink_properties=device.description=mic
load-module module-remap-sink sink_name=spk master=rec channels=1 channel_map=mono master_channel_map=front-right remix=no sink_properties=device.description=spk
load-module module-null-sink sink_name=pace rate=$RATE channels=1 sink_properties=device.description=pace
load-module module-loopback source=rec.monitor sink=pace latency_msec=5 source_dont_move=true sink_dont_move=true
set-default-source mic.monitor
set-default-sink spk
EOF
  : >"$dir/pa.log"
  pulseaudio --daemonize=yes --exit-idle-time=-1 -n -F "$dir/fixture.pa" \
    --use-pid-file=yes ${PULSE_FIXTURE_LOG_LEVEL:+--log-level=$PULSE_FIXTURE_LOG_LEVEL} --log-target="file:$dir/pa.log" </dev/null >/dev/null 2>&1
  cp "$XDG_RUNTIME_DIR/pulse/pid" "$dir/pulseaudio.pid"
  i=0
  until pactl info >/dev/null 2>&1; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then
      echo "pulse-fixture: the server did not answer; see $dir/pa.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  env_lines >"$dir/env"
}

stop() {
  stop_pid_file "$dir/play.pid" paplay
  stop_pid_file "$dir/record.pid" parecord INT
  stop_pid_file "$dir/pulseaudio.pid" pulseaudio
  rm -f "$dir/loopback.module" "$dir/echo.module" "$dir/echo_latency_ms"
}

# Unloads the module whose index is in FILE, if any.
unload_module_in() {
  if [ -f "$1" ]; then
    pactl unload-module "$(cat "$1")" || true
    rm -f "$1"
  fi
}

# The echo route's own latency: clicks played into the speaker, recorded on
# both channels of rec.monitor, the microphone's copy against the speaker's
# (the median over the clicks, in milliseconds). A measurement through the
# route takes it out of what it found.
measure_echo() {
  clicks="$dir/echo-clicks.wav"
  mix="$dir/echo-mix.wav"
  python3 - "$kit" "$clicks" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import signalkit
signalkit.write_clicks(sys.argv[2], (0.10, 0.33, 0.52, 0.81, 1.00), 1.2)
PY
  parecord --device=rec.monitor --rate=22050 --channels=2 --format=s16le \
    --latency-msec=20 --file-format=wav "$mix" </dev/null >/dev/null 2>&1 &
  recorder=$!
  sleep 0.3
  paplay --device=spk --latency-msec=20 "$clicks" </dev/null
  sleep 0.3
  kill -INT "$recorder" 2>/dev/null || true
  wait "$recorder" 2>/dev/null || true
  python3 - "$kit" "$mix" <<'PY'
import statistics, sys
sys.path.insert(0, sys.argv[1])
import signalkit
mic, spk = signalkit.read_stereo(sys.argv[2])
rate = signalkit.RATE
mic, spk = signalkit.onsets(mic, 4000), signalkit.onsets(spk, 4000)
# Each speaker click against the first microphone click at or after it.
lags = [min((m - s for m in mic if m >= s), default=rate) for s in spk]
if len(spk) < 5 or max(lags) >= rate // 10:
    sys.exit("pulse-fixture: the echo route's clicks did not come back")
print("%.1f" % (1000.0 * statistics.median(lags) / rate))
PY
}

env_lines() {
  echo "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"
  echo "PULSE_SERVER=$PULSE_SERVER"
}

require_server() {
  if ! pactl info >/dev/null 2>&1; then
    echo "pulse-fixture: no server under $dir (run start first)" >&2
    exit 1
  fi
}

case "$action" in
  start) start ;;
  stop) stop ;;
  env) env_lines ;;
  record)
    [ $# -eq 3 ] || usage
    require_server
    stop_pid_file "$dir/record.pid" parecord INT
    # Small fragments keep the null sink rendering in short steps, so a
    # stream that joins later is not queued behind a long rendered stretch.
    parecord --device=rec.monitor --rate=22050 --channels=2 --format=s16le \
      --latency-msec=20 --file-format=wav "$3" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/record.pid"
    ;;
  endrecord)
    # SIGINT lets the recorder write the final WAV header.
    stop_pid_file "$dir/record.pid" parecord INT
    ;;
  play)
    [ $# -eq 3 ] || usage
    require_server
    paplay --device=mic --latency-msec=20 "$3" </dev/null &
    echo $! >"$dir/play.pid"
    status=0
    wait $! || status=$?
    rm -f "$dir/play.pid"
    exit $status
    ;;
  loopback)
    [ $# -eq 3 ] || usage
    require_server
    unload_module_in "$dir/loopback.module"
    if [ "$3" != off ]; then
      pactl load-module module-loopback source=mic.monitor sink=spk \
        latency_msec="$3" source_dont_move=true sink_dont_move=true >"$dir/loopback.module"
    fi
    ;;
  echo)
    [ $# -eq 3 ] || usage
    require_server
    unload_module_in "$dir/echo.module"
    rm -f "$dir/echo_latency_ms"
    if [ "$3" != off ]; then
      pactl load-module module-loopback source=spk.monitor sink=mic \
        latency_msec="$3" source_dont_move=true sink_dont_move=true >"$dir/echo.module"
      # The route settles on its latency within a moment of loading.
      sleep 1
      latency=$(measure_echo)
      echo "$latency" >"$dir/echo_latency_ms"
      echo "echo_latency_ms=$latency"
    fi
    ;;
  *) usage ;;
esac
