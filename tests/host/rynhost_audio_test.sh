#!/bin/bash
# rynhost on the PulseAudio fixture under Wine: it runs the component, logs
# the reported delay once a second, takes keys from a piped input (+ raises
# the delay by 10 ms, q quits) and stops cleanly; a ramp moves the delay in
# 10 ms steps from its start to its end.
#   RYN_BUILD_DIR=... rynhost_audio_test.sh WINE_RUN RYNHOST.EXE WORK_DIR
set -u
wine="$1"; host="$2"; work="$3"
mkdir -p "$work"
log="$work/rynhost-session.csv"
keys="$work/rynhost-keys"
rm -f "$log" "$keys"
mkfifo "$keys"
log_windows=$(printf 'Z:%s' "$log" | tr / '\\')
"$wine" "$host" --delay 100 --seconds 20 --log "$log_windows" <"$keys" >"$work/rynhost-output.txt" 2>&1 &
pid=$!
exec 3>"$keys"
failures=0

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# Waits until a log row has CONFIGURED and a reported delay within +/-15 ms.
wait_for_row() {
  for _ in $(seq 150); do
    if awk -F, -v want="$1" 'NR > 1 && $2 == want && $3 >= want - 15 && $3 <= want + 15 { found = 1 }
                             END { exit !found }' "$log" 2>/dev/null; then
      echo "ok: logged configured $1 ms with reported $(awk -F, -v want="$1" 'NR > 1 && $2 == want { r = $3 } END { print r }' "$log") ms"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "no log row with configured $1 ms and a reported delay within 15 ms"
  return 1
}

if wait_for_row 100; then
  printf '+' >&3
  wait_for_row 110
fi
printf 'q' >&3
status=0
wait "$pid" || status=$?
exec 3>&-
[ "$status" -eq 0 ] || fail "rynhost exited with $status"
grep -q '^stopped after' "$work/rynhost-output.txt" || fail "no clean stop"
head -1 "$log" | grep -q '^time_s,configured_delay_ms,reported_delay_ms,' || fail "log header"
elapsed=$(awk -F, 'END { print $1 }' "$log")
awk -v t="$elapsed" 'BEGIN { exit !(t < 19) }' || fail "q did not end the session early (ran $elapsed s)"
ramp_log="$work/rynhost-ramp.csv"
rm -f "$ramp_log"
"$wine" "$host" --ramp 70:40:3 --seconds 4 --log "$(printf 'Z:%s' "$ramp_log" | tr / '\\')" \
  </dev/null >"$work/rynhost-ramp-output.txt" 2>&1 || fail "the ramp session failed"
ramp=$(awk -F, 'NR > 1 { print $2 }' "$ramp_log" | uniq | tr '\n' ' ')
if [ "$ramp" = "70 60 50 40 " ]; then
  echo "ok: the ramp configured $ramp"
else
  fail "the ramp configured '$ramp', want '70 60 50 40 '"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- output"; grep -v '^ALSA lib' "$work/rynhost-output.txt"
  echo "--- log"; cat "$log"
  exit 1
fi
echo "all passed"
