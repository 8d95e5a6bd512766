"""What the report scripts share about the recordings they read.

Standard library only, so that scripts without numpy can use it too.
"""
import statistics
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
