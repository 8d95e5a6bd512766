#!/bin/sh
# Runs a command with N busy processes beside it, as on a loaded machine, and
# stops them by PID when it ends:  with-cpu-load.sh N COMMAND [ARGS...]
set -u
count="$1"
shift
pids=""
i=0
while [ "$i" -lt "$count" ]; do
  sh -c 'while :; do :; done' &
  pids="$pids $!"
  i=$((i + 1))
done
RYN_CPU_LOAD=1 "$@"
status=$?
# shellcheck disable=SC2086
kill $pids 2>/dev/null
# shellcheck disable=SC2086
wait $pids 2>/dev/null
exit $status
