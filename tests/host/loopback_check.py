"""What the loopback measurement's real-audio check reads from the
fixture's recordings (left: microphone, right: speaker, 22050 Hz).

  loopback_check.py clicks OUT.wav
      a click train to play into the microphone
  loopback_check.py lag MIX.wav
      median lag of the speaker's clicks behind the microphone's, in ms
  loopback_check.py heard MIX.wav
      in a closed loop, median lag from each of the probe's clicks at the
      microphone to its first pass through the feedback at the speaker:
      the lag, 20 ms to 1 s, that most clicks share among the speaker's
      clicks at a first pass's level (the speaker carries the probe itself
      too, louder, and the later passes, quieter)
"""
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import signalkit  # noqa: E402
from signalkit import onsets  # noqa: E402

RATE = signalkit.RATE


def clicks(path):
    # At irregular steps of 150 to 250 ms.
    starts, at, step = [], 0.1, 0
    while at < 1.9:
        starts.append(at)
        step += 1
        at += 0.15 + 0.1 * ((step * 7) % 5) / 4
    signalkit.write_clicks(path, starts, 2.0)


def lag(path):
    mic, spk = signalkit.read_stereo(path)
    threshold = max(abs(v) for v in mic) // 3
    out = onsets(spk, threshold)
    lags = [min((s - m for s in out if s > m), default=None) for m in onsets(mic, threshold)]
    lags = [x for x in lags if x is not None and x < RATE // 2]
    if len(lags) < 5:
        sys.exit("fewer than 5 clicks came through")
    print("%.1f" % (1000.0 * statistics.median(lags) / RATE))


def heard(path):
    mic, spk = signalkit.read_stereo(path)
    shortest = int(20 * RATE / 1000)
    peak = lambda x, at: max(abs(v) for v in x[at:at + 60])
    level = max(abs(v) for v in mic)
    heard_mic = [(m, peak(mic, m)) for m in onsets(mic, level // 40)]
    heard_spk = [(s, peak(spk, s)) for s in onsets(spk, level // 40)]
    candidates = []
    for m, p in heard_mic:
        # The probe's own clicks are the loudest within half a second; a
        # first pass comes back 10 dB quieter, later passes quieter still.
        if p < 0.7 * max(q for n, q in heard_mic if abs(n - m) < RATE // 2):
            continue
        candidates.append([s - m for s, q in heard_spk if shortest <= s - m < RATE and 0.2 * p <= q <= 0.5 * p])
    # A speaker click at a first pass's level may be a neighbouring click's
    # pass; the lag that most clicks share (within 2 ms) is their own.
    agree = int(2 * RATE / 1000)
    best = []
    for lag in {x for c in candidates for x in c}:
        shared = [min(c, key=lambda x: abs(x - lag)) for c in candidates if any(abs(x - lag) <= agree for x in c)]
        if len(shared) > len(best):
            best = shared
    if len(best) < 5:
        sys.exit("fewer than 5 first passes came through")
    print("%.1f" % (1000.0 * statistics.median(best) / RATE))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "clicks":
        clicks(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "lag":
        lag(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "heard":
        heard(sys.argv[2])
    else:
        sys.exit(__doc__)
