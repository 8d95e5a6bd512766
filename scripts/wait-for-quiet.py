#!/usr/bin/env python3
"""Waits until the VM gets its processor time: wait-for-quiet.py [BUDGET_S]
Or notes what it lost during a run: wait-for-quiet.py --watch FILE

The VM loses processor time to its host at times ("steal" in /proc/stat),
in stretches of seconds to minutes, and real-time audio under Wine loses
clicks and stalls through them. Before the real-audio checks, this samples
the steal over windows of 3 s, while waking often as audio threads do (steal
shows only while the VM runs), and returns once two windows in a row lost
less than 5 % of the time, or when the budget (seconds, default 300) is
spent. It prints what it measured; it never fails.

With --watch it appends the steal of each 3 s window, in percent, to FILE
until it is stopped, without waking in between (the checks it watches keep
the VM running), so that a failed check can be told apart from one that
ran while the VM lost its time.
"""
import sys
import time

WINDOW_S = 3.0
QUIET_SHARE = 0.05
WAKE_S = 0.0005


def cpu_times():
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return sum(fields), fields[7]  # all, steal


def steal_share():
    total0, steal0 = cpu_times()
    end = time.monotonic() + WINDOW_S
    while time.monotonic() < end:
        time.sleep(WAKE_S)
    total1, steal1 = cpu_times()
    return (steal1 - steal0) / max(1, total1 - total0)


def watch(path):
    total0, steal0 = cpu_times()
    while True:
        time.sleep(WINDOW_S)
        total1, steal1 = cpu_times()
        with open(path, "a") as f:
            f.write(f"{100 * (steal1 - steal0) / max(1, total1 - total0):.1f}\n")
        total0, steal0 = total1, steal1


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--watch":
        watch(sys.argv[2])
        return
    budget = float(sys.argv[1]) if len(sys.argv) > 1 else 300.0
    start = time.monotonic()
    shares = []
    quiet_in_a_row = 0
    while quiet_in_a_row < 2 and time.monotonic() - start < budget:
        share = steal_share()
        shares.append(share)
        quiet_in_a_row = quiet_in_a_row + 1 if share < QUIET_SHARE else 0
    waited = time.monotonic() - start
    measured = " ".join(f"{100 * s:.0f}" for s in shares[-12:])
    verdict = "quiet" if quiet_in_a_row >= 2 else "still losing time; going on"
    print(f"wait-for-quiet: {verdict} after {waited:.0f} s (steal %, last windows: {measured})", flush=True)


if __name__ == "__main__":
    main()
