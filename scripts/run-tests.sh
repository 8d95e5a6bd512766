#!/bin/bash
# Runs one build folder's tests: run-tests.sh BUILD_DIR [JOBS [CTEST_ARGS...]]
# (CTEST_ARGS select the tests, -L/-LE LABEL say).
# A check in which Wine's debugger started (Wine reports "starting debugger"
# when a process of the prefix crashes: one of Wine's own programs, or the
# check's) is named plainly and run once more; when every failed check is
# such a one and all pass the second time, the run passes. Any other failure,
# or a second failure, fails the run.
# With RYN_RETRY_FAILED=1 (the real-audio checks: the VM loses processor
# time to its host at times, and real-time audio loses clicks through it)
# the checks start once the VM gets its time (wait-for-quiet.py, bounded),
# and every failed check is run once more, after waiting so again. A check
# that fails twice fails the run, unless the VM lost 5 % or more of some
# 3 s window during the second run: then it runs again once the VM is quiet,
# and so on while it fails in runs that lost such time, at most five runs in
# all. A failure in a run that kept its time decides.
set -uo pipefail
build="$1"
jobs="${2:-2}"
shift 2 2>/dev/null || shift $#
scripts="$(cd "$(dirname "$0")" && pwd)"
cd "$build" || exit 2

retry="${RYN_RETRY_FAILED:-0}"
if [ "$retry" = 1 ]; then
  worst_steal=0
  # ctest once the VM is quiet, its steal watched; worst_steal is the
  # highest 3 s window's share in percent.
  watched_ctest() {
    local windows watcher result
    /usr/bin/python3 "$scripts/wait-for-quiet.py"
    windows=$(mktemp)
    /usr/bin/python3 "$scripts/wait-for-quiet.py" --watch "$windows" &
    watcher=$!
    ctest --output-on-failure -j "$jobs" "$@"
    result=$?
    kill "$watcher"
    wait "$watcher" 2>/dev/null
    worst_steal=$(sort -n "$windows" | tail -n 1)
    worst_steal="${worst_steal:-0}"
    rm -f "$windows"
    return "$result"
  }
  watched_ctest --no-tests=error "$@" && exit 0
  echo "run-tests: these checks failed (the VM lost up to $worst_steal % of a 3 s window); running them once more:"
  sed 's/^[0-9]*:/  /' Testing/Temporary/LastTestsFailed.log 2>/dev/null
  watched_ctest --rerun-failed "$@" && exit 0
  status=$?
  for _ in 1 2 3; do
    awk -v s="$worst_steal" 'BEGIN { exit !(s >= 5) }' || exit "$status"
    echo "run-tests: they failed again while the VM lost up to $worst_steal % of a 3 s window; again once it is quiet:"
    watched_ctest --rerun-failed "$@" && exit 0
    status=$?
  done
  exit "$status"
fi

ctest --output-on-failure --no-tests=error -j "$jobs" "$@"
status=$?
[ "$status" -eq 0 ] && exit 0

failed="Testing/Temporary/LastTestsFailed.log"
log="Testing/Temporary/LastTest.log"
[ -f "$failed" ] && [ -f "$log" ] || exit "$status"
# The failed checks whose output shows Wine's debugger starting.
crashed=$(/usr/bin/python3 - "$failed" "$log" <<'EOF'
import re, sys
failed = [line.split(":", 1)[1].strip() for line in open(sys.argv[1]) if ":" in line]
log = open(sys.argv[2], errors="replace").read()
crashed = []
for name in failed:
    # Each check's output lies between its "Testing: NAME" line and its end time.
    match = re.search(r"Testing: " + re.escape(name) + r"\n(.*?)\"" + re.escape(name) + r"\" end time", log, re.S)
    if match and "starting debugger" in match.group(1):
        crashed.append(name)
print("\n".join(crashed if len(crashed) == len(failed) else []))
EOF
)
if [ -z "$crashed" ]; then
  exit "$status"
fi
echo "run-tests: Wine's debugger started in these checks (a crash in the prefix); running them once more:"
printf '  %s\n' $crashed
ctest --output-on-failure --rerun-failed -j "$jobs" "$@"
