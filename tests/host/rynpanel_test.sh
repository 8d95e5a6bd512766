#!/bin/bash
# rynpanel under Wine on a virtual X display of its own, driven by
# panel_driver.exe through window messages:
#   controls  without a sound server: a missing component and a missing sound
#             device are told in the status line with Start disabled; the
#             sliders span the component's ranges; each control's setting
#             reaches the component and is remembered for the next start; a
#             Start that reaches the component anyway shows its description
#             and HRESULT; the heard-delay mode is off without a measurement,
#             and with a remembered one sets DELAY to the wanted delay less
#             the devices' latency, says so plainly where that falls below
#             the lowest DELAY, and is remembered.
#   audio     on the PulseAudio fixture: through the fixture's echo route,
#             "Measure the delay I hear" shows the heard delay beside the
#             reported one and the result in the status line, the session
#             log then carries the devices' latency, and the panel remembers
#             the result; Start runs the engine, the reported
#             delay appears, a delay or shift change says "restarting" and the
#             new delay is measured,
#             Space stops, the log holds rynhost's rows; a ramp steps the delay;
#             a new start shows the remembered measurement, and in the
#             heard-delay mode a wanted delay typed while running is applied
#             once typing pauses, not at every key.
# The panel runs in a Wine prefix of its own (in WORK_DIR), whose server and
# desktop start on this display: the build's shared prefix has no display.
#   rynpanel_test.sh RYNPANEL.EXE PANEL_DRIVER.EXE WORK_DIR controls|audio FIXTURE PULSE_DIR
set -u
panel="$1"; driver="$2"; work="$3"; mode="$4"; fixture="$5"; pulse="$6"
mkdir -p "$work"
. "$(dirname "$0")/../../scripts/wine-env.sh"
wine_env "$work/wineprefix"
wine=$wine64
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

display=""
for n in $(seq 70 199); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "FAILED: no free X display number"; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
panel_pid=""
cleanup() {
  [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null
  "$wineserver" -k 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"
wine_prefix_create
"$wineserver" -w

C=(IDC_DELAY=1001 IDC_SHIFT=1011 IDC_SHIFT_VALUE=1012 IDC_METHOD=1021 IDC_VOLUME=1031 IDC_RAMP=1041
   IDC_RAMP_FROM=1043 IDC_RAMP_TO=1045 IDC_RAMP_MINUTES=1047 IDC_LOG=1051 IDC_START=1060 IDC_REPORTED=1071
   IDC_CLOCK=1073 IDC_HEARD=1075 IDC_STATUS=1080 IDC_MEASURE=1090 IDC_HEARD_MODE=1100 IDC_HEARD_WANTED=1101
   IDC_HEARD_NOTE=1103)
for c in "${C[@]}"; do declare "$c"; done

start_panel() {
  "$wine" "$panel" >>"$work/panel-output.txt" 2>&1 &
  panel_pid=$!
}
# drive STEPS...: runs the driver; at a failure the panel is ended.
drive() {
  "$wine" "$driver" "$@" | tr -d '\r'
  [ "${PIPESTATUS[0]}" -eq 0 ] && return 0
  fail "a panel_driver step"
  kill "$panel_pid" 2>/dev/null
}
end_panel() {
  wait "$panel_pid" || fail "rynpanel exited with $?"
  panel_pid=""
}

"$wine" reg delete 'HKCU\Software\ryn\panel' /f >/dev/null 2>&1
: >"$work/panel-output.txt"

case "$mode" in
  controls)
    WINEDLLOVERRIDES="mscoree,mshtml,ryn=" start_panel
    drive wait expect-text $IDC_STATUS 'regsvr32 ryn.dll' expect-enabled $IDC_START 0 close
    end_panel

    start_panel
    drive wait expect-text $IDC_STATUS 'No sound device' expect-enabled $IDC_START 0 expect-ranges \
      expect delay 100 expect shift 0 expect mode 1 expect volume 100 \
      key $IDC_DELAY right expect delay 101 key $IDC_DELAY pgdn expect delay 111 key $IDC_DELAY left expect delay 110 \
      key $IDC_SHIFT right key $IDC_SHIFT right key $IDC_SHIFT right expect shift 3 \
      expect-text $IDC_SHIFT_VALUE '1.150)' expect-enabled $IDC_HEARD_MODE 0 \
      select $IDC_METHOD 1 expect mode 2 key $IDC_VOLUME pgup expect volume 90 \
      click $IDC_START expect-text $IDC_STATUS 'Run failed: Could not initialize DirectX (0x80042009)' \
      expect engine 0 close
    end_panel

    # A remembered measurement: the devices add 57.6 ms.
    "$wine" reg add 'HKCU\Software\ryn\panel' /v DeviceLatencyMs /t REG_SZ /d 57.6 /f >/dev/null
    start_panel
    drive wait expect delay 110 expect shift 3 expect mode 2 expect volume 90 \
      check $IDC_HEARD_MODE 1 click $IDC_HEARD_MODE text $IDC_HEARD_WANTED 150 expect delay 92 \
      expect-text $IDC_HEARD_NOTE 'DELAY 92 ms + devices 58 ms = 150 ms heard' expect-enabled $IDC_DELAY 0 \
      text $IDC_HEARD_WANTED 80 expect delay 40 \
      expect-text $IDC_HEARD_NOTE '80 ms cannot be had with these devices: it needs DELAY 22 ms, below the lowest' \
      close
    end_panel

    start_panel
    drive wait expect delay 40 expect-text $IDC_HEARD_NOTE 'below the lowest' close
    end_panel
    ;;
  audio)
    log="$work/panel-session.csv"
    ramp_log="$work/panel-ramp.csv"
    heard_log="$work/panel-heard.csv"
    rm -f "$log" "$ramp_log" "$heard_log"
    "$fixture" echo "$pulse" 5
    start_panel
    drive wait expect-text $IDC_STATUS 'Ready' expect-enabled $IDC_MEASURE 1 click $IDC_MEASURE \
      expect measuring 1 expect-enabled $IDC_START 0 expect measuring 0 \
      expect-text $IDC_HEARD ' ms at 100 ms (devices ' expect-text $IDC_STATUS 'At DELAY 100 you hear '
    "$fixture" echo "$pulse" off
    drive wait expect-enabled $IDC_START 1 \
      text $IDC_LOG "$(printf 'Z:%s' "$log" | tr / '\\')" click $IDC_START \
      expect engine 2 expect reported 100 15 expect-text $IDC_REPORTED ' ms' expect-text $IDC_CLOCK '0:00:0' \
      key $IDC_DELAY pgdn expect delay 110 expect-text $IDC_REPORTED 'restarting' \
      expect engine 2 expect reported 110 15 expect-text $IDC_REPORTED ' ms' \
      key $IDC_SHIFT right expect shift 1 expect-text $IDC_REPORTED 'restarting' expect engine 2 \
      key $IDC_DELAY space expect engine 0 expect-text $IDC_STATUS 'Stopped after' \
      check $IDC_RAMP 1 text $IDC_RAMP_FROM 70 text $IDC_RAMP_TO 40 text $IDC_RAMP_MINUTES 0.05 \
      text $IDC_LOG "$(printf 'Z:%s' "$ramp_log" | tr / '\\')" click $IDC_START \
      expect delay 40 sleep 1500 click $IDC_START expect engine 0 close
    end_panel
    # The remembered measurement, and the heard-delay mode while running: a
    # wanted delay typed key by key is applied once, when typing pauses.
    start_panel
    drive wait expect-text $IDC_HEARD ' ms at 100 ms (devices ' check $IDC_RAMP 0 \
      text $IDC_LOG "$(printf 'Z:%s' "$heard_log" | tr / '\\')" text $IDC_HEARD_WANTED 400 \
      check $IDC_HEARD_MODE 1 click $IDC_HEARD_MODE expect delay 220 click $IDC_START expect engine 2 \
      text $IDC_HEARD_WANTED 1 expect delay 220 text $IDC_HEARD_WANTED 15 expect delay 220 \
      text $IDC_HEARD_WANTED 1 expect delay 40 expect engine 2 close
    end_panel
    head -1 "$log" | grep -q '^time_s,configured_delay_ms,reported_delay_ms,' || fail "no log header"
    awk -F, 'NR > 1 && $8 + 0 > 0 { found = 1 } END { exit !found }' "$log" ||
      fail "no log row with the measured devices' latency"
    awk -F, 'NR > 1 && $2 == 110 && $3 >= 95 && $3 <= 125 { found = 1 } END { exit !found }' "$log" ||
      fail "no log row with configured 110 ms and its reported delay"
    ramp=$(awk -F, 'NR > 1 { print $2 }' "$ramp_log" | uniq | tr '\n' ' ')
    [ "$ramp" = "70 60 50 40 " ] && echo "ok: the ramp configured $ramp" ||
      fail "the ramp configured '$ramp', want '70 60 50 40 '"
    ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "--- panel output"; grep -v '^ALSA lib' "$work/panel-output.txt"
  [ -f "${log:-}" ] && { echo "--- log"; cat "$log"; }
  exit 1
fi
echo "all passed"
