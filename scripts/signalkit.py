"""What the report scripts share about the recordings they read.

Standard library only, so that scripts without numpy can use it too.
"""
import math
import statistics
import struct
import wave
from array import array

# The rate of the engine, of the voice sample and of every recording.
RATE = 22050


def read_stereo(path):
    """Left and right channel of a 16-bit stereo recording at RATE, as
    arrays of 16-bit samples."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 2 or w.getframerate() != RATE:
            raise SystemExit(f"{path}: expected 16-bit stereo at {RATE} Hz")
        data = array("h", w.readframes(w.getnframes()))
    return data[0::2], data[1::2]


def median(values):
    """Median of the values; NaN when there are none."""
    return statistics.median(values) if values else float("nan")


# A click: 48 samples (2.2 ms) of a 2756 Hz tone (8 samples a period) under
# a Hann window, peaking near 16000 of 32767.
CLICK = [int(16000 * (0.5 - 0.5 * math.cos(2 * math.pi * (i + 0.5) / 48)) * math.sin(2 * math.pi * i / 8))
         for i in range(48)]

# The samples (9 ms at RATE) below the threshold after which a sample at it
# starts a new click: far more than the gaps inside one click's tone (a few
# samples), far fewer than those between the clicks written here (100 ms
# and more).
ONSET_GAP = 200


def write_clicks(path, starts, seconds):
    """A mono 16-bit file at RATE, `seconds` long, with a CLICK at each of
    the `starts` (in seconds)."""
    samples = [0] * int(seconds * RATE)
    for start in starts:
        first = int(start * RATE)
        samples[first:first + len(CLICK)] = CLICK
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


def onsets(x, threshold):
    """Indices at which the samples x reach `threshold` in magnitude after
    at least ONSET_GAP samples below it: where clicks start."""
    found, quiet = [], ONSET_GAP
    for i, v in enumerate(x):
        if abs(v) >= threshold:
            if quiet >= ONSET_GAP:
                found.append(i)
            quiet = 0
        else:
            quiet += 1
    return found
