#!/bin/sh
# rynhost's command line under Wine: usage errors exit 2 with the usage text,
# --help exits 0, and a failure of the component or, for --measure, of the
# devices (no sound server is reachable) prints its description with the
# HRESULT in hex and exits 1.
#   RYN_BUILD_DIR=... rynhost_cli_test.sh WINE_RUN RYNHOST.EXE WORK_DIR
set -u
wine="$1"; host="$2"; work="$3"
mkdir -p "$work"
failures=0

# expect STATUS PATTERN ARGS...: the exit status and a line of the output.
expect() {
  want_status="$1"; pattern="$2"; shift 2
  output=$("$wine" "$host" "$@" </dev/null 2>&1)
  status=$?
  if [ "$status" -eq "$want_status" ] && printf '%s\n' "$output" | grep -q -- "$pattern"; then
    printf 'ok: rynhost %s -> %s, "%s"\n' "$*" "$status" "$pattern"
  else
    printf 'FAILED: rynhost %s -> %s (want %s and "%s"); output:\n' "$*" "$status" "$want_status" "$pattern"
    printf '%s\n' "$output" | grep -v '^ALSA lib' | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
}

expect 2 'invalid value for --delay: 30' --delay 30
expect 2 '^usage: rynhost' --delay 30
expect 2 'invalid value for --delay: 221' --delay 221
expect 2 'invalid value for --shift: 11' --shift 11
expect 2 'invalid value for --mode: 3' --mode 3
expect 2 'invalid value for --volume: 101' --volume 101
expect 2 'invalid value for --ramp: 200:30:10' --ramp 200:30:10
expect 2 'missing value for --seconds' --seconds
expect 2 'unknown argument --colour' --colour red
expect 2 '--measure takes no --ramp or --seconds' --measure --seconds 5
expect 0 '^usage: rynhost' --help
expect 0 'p *pause/resume' --help
expect 0 '^ *rynhost --measure \[--delay MS\]' --help
expect 1 'rynhost: loopback measurement: opening the default input failed (0x8' --measure --delay 100
expect 1 'rynhost: Run failed: Could not initialize DirectX (0x80042009)' --seconds 1
expect 1 'ryn component: registered class Ryn.VelRyn.1 from .*\\ryn\.dll' --seconds 1 --delay 220 --shift -3 --mode 2
log_dir=$(printf 'Z:%s' "$work/missing/folder" | tr / '\\')
expect 1 'cannot write the log file .* (0x80070052)' --seconds 1 --log "$log_dir\\session.csv"

[ "$failures" -eq 0 ] && echo "all passed" || { echo "$failures failed"; exit 1; }
