#!/bin/bash
# Renders rynpanel at rest and running into docs/panel.png: the panel runs in
# a Wine virtual desktop (so its window has a frame) on a private X display,
# with a private PulseAudio server for the running picture; panel_driver.exe
# presses Start, and ImageMagick takes and joins the two pictures.
#   panel-shot.sh BUILD_DIR OUT.png
set -eu
build="$1"; out="$2"
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

"$wine64" explorer "/desktop=$desktop,800x600" "$panel_exe" >"$work/panel-output.txt" 2>&1 &
drive() { RYN_PANEL_DESKTOP=$desktop "$wine64" "$driver" wait "$@" | tr -d '\r'; }
shoot() {
  local rect
  rect=$(drive rect | tail -1)
  sleep 0.5
  import -window root -crop "$rect" +repage "$1"
}
drive expect-text 1080 Ready >/dev/null
shoot "$work/rest.png"
drive click 1060 expect engine 2 expect-text 1071 ' ms' expect-text 1073 '0:00:03' >/dev/null
shoot "$work/running.png"
drive close >/dev/null
convert "$work/rest.png" "$work/running.png" -background white -splice 12x0 +append -chop 12x0 "$out"
echo "panel-shot: wrote $out"
