#!/bin/bash
# Renders rynpanel at rest and running into docs/panel.png: the panel runs in
# a Wine virtual desktop (so its window has a frame) on a private X display,
# with a private PulseAudio server for the running picture; panel_driver.exe
# presses Start, and ImageMagick takes and joins the two pictures. The panel
# starts with a remembered loopback measurement, so both pictures show a
# measured result without a loopback; the running one sets DELAY from the
# delay wanted at the ear (the heard-delay mode).
#   panel-shot.sh BUILD_DIR OUT.png
set -eu -o pipefail
# Wine needs an absolute prefix path.
build=$(cd "$1" && pwd); out="$2"
root=$(cd "$(dirname "$0")/.." && pwd)
work="$build/panel-shot"
mkdir -p "$work"
. "$root/scripts/wine-env.sh"
wine_env "$work/wineprefix"
panel_exe=$(printf 'Z:%s' "$build/host/rynpanel.exe" | tr / '\\')
driver="$build/tests/panel_driver.exe"
desktop=rynpanel

display=""
for n in $(seq 70 199); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "panel-shot: no free X display number" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
"$root/scripts/pulse-fixture.sh" start "$work/pulse" >/dev/null
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$root/scripts/pulse-fixture.sh" stop "$work/pulse" >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"
eval "$("$root/scripts/pulse-fixture.sh" env "$work/pulse")"
export XDG_RUNTIME_DIR PULSE_SERVER
wine_prefix_create
"$wine64" reg delete 'HKCU\Software\ryn\panel' /f >/dev/null 2>&1 || true
# A measurement as the README quotes one: 158 ms heard at DELAY 100.
remember() { "$wine64" reg add 'HKCU\Software\ryn\panel' /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
remember HeardResult '158 ms at 100 ms (devices 58 ms)'
remember DeviceLatencyMs 58.0
remember HeardWanted 150

"$wine64" explorer "/desktop=$desktop,800x700" "$panel_exe" >"$work/panel-output.txt" 2>&1 &
# drive STEPS...: panel_driver's steps; its output is in driver.txt, and
# shown when a step fails, which ends the script.
drive() {
  if ! RYN_PANEL_DESKTOP=$desktop "$wine64" "$driver" wait "$@" | tr -d '\r' >"$work/driver.txt"; then
    echo "panel-shot: panel_driver $* failed:" >&2
    cat "$work/driver.txt" >&2
    exit 1
  fi
}
shoot() {
  drive rect
  sleep 0.5
  import -window root -crop "$(tail -1 "$work/driver.txt")" +repage "$1"
}
drive expect-text 1080 Ready expect-text 1075 '158 ms at 100 ms'
shoot "$work/rest.png"
# The heard-delay mode on (1100) at the remembered 150 ms: DELAY 92; Start.
drive check 1100 1 click 1100 expect delay 92 click 1060 expect engine 2 expect-text 1071 ' ms' \
  expect-text 1073 '0:00:03'
shoot "$work/running.png"
drive close
convert "$work/rest.png" "$work/running.png" -background white -splice 12x0 +append -chop 12x0 "$out"
echo "panel-shot: wrote $out"
