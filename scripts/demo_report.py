#!/usr/bin/python3
"""Measures the delay heard in a demo recording and draws it.

The delay is the cross-correlation lag between what went into the virtual
microphone and what came out of the virtual speaker, minus the lag of a
calibration run through the same routing without the component.
"""
import argparse
import csv
import wave

import numpy as np

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read_wav(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise SystemExit(f"{path}: expected 16-bit samples")
        frames = w.readframes(w.getnframes())
        data = np.frombuffer(frames, dtype="<i2").astype(np.float64)
        channels = w.getnchannels()
        if channels > 1:
            data = data.reshape(-1, channels)[:, 0]
        return data / 32768.0, w.getframerate()


def envelope(signal, rate, window_ms=5.0):
    window = max(1, int(rate * window_ms / 1000.0))
    kernel = np.ones(window) / window
    return np.sqrt(np.convolve(signal * signal, kernel, mode="same"))


def lag_ms(reference, delayed, rate, use_envelope, max_lag_ms=1000.0):
    """Lag of `delayed` behind `reference` in milliseconds (positive: later)."""
    a = envelope(reference, rate) if use_envelope else reference
    b = envelope(delayed, rate) if use_envelope else delayed
    a = a - a.mean()
    b = b - b.mean()
    n = 1
    while n < len(a) + len(b):
        n *= 2
    spectrum = np.fft.rfft(b, n) * np.conj(np.fft.rfft(a, n))
    corr = np.fft.irfft(spectrum, n)
    max_lag = int(rate * max_lag_ms / 1000.0)
    candidates = np.concatenate([corr[: max_lag + 1], corr[-max_lag:]])
    lags = np.concatenate([np.arange(0, max_lag + 1), np.arange(-max_lag, 0)])
    best = int(np.argmax(candidates))
    return 1000.0 * lags[best] / rate, float(candidates[best] / (np.linalg.norm(a) * np.linalg.norm(b) + 1e-12))


def last_reported(log_path):
    rows = list(csv.DictReader(open(log_path)))
    values = [int(r["reported_delay_ms"]) for r in rows if int(r["reported_delay_ms"]) > 0]
    return values[-1] if values else 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--input", required=True)
    p.add_argument("--feedback", required=True)
    p.add_argument("--cal-input", required=True)
    p.add_argument("--cal-feedback", required=True)
    p.add_argument("--delay", type=int, required=True)
    p.add_argument("--shift", type=int, default=0)
    p.add_argument("--mode", type=int, default=1)
    p.add_argument("--host-log", required=True)
    p.add_argument("--png", required=True)
    p.add_argument("--report", required=True)
    args = p.parse_args()

    x, rate = read_wav(args.input)
    y, rate_y = read_wav(args.feedback)
    cx, _ = read_wav(args.cal_input)
    cy, _ = read_wav(args.cal_feedback)
    if rate != rate_y:
        raise SystemExit("input and feedback rates differ")
    shifted = args.shift != 0
    routing, _ = lag_ms(cx, cy, rate, use_envelope=False)
    total, score = lag_ms(x, y, rate, use_envelope=shifted)
    measured = total - routing
    vocoder_ms = 2048 * 1000.0 / 22050 if shifted and args.mode == 1 else 0.0
    reported = last_reported(args.host_log)

    lines = [
        f"configured delay:  {args.delay} ms",
        f"reported delay:    {reported} ms (GetParameter(\"DELAY\") at the end of the run)",
        f"measured delay:    {measured:.1f} ms (cross-correlation {total:.1f} ms minus routing {routing:.1f} ms)",
    ]
    if vocoder_ms:
        lines.append(f"  of which the phase vocoder's analysis frame: {vocoder_ms:.1f} ms "
                     f"(delay alone: {measured - vocoder_ms:.1f} ms)")
    lines += [
        f"difference:        {measured - vocoder_ms - args.delay:+.1f} ms against the configured delay",
        f"frequency shift:   {args.shift} (method {args.mode})",
        f"correlation peak:  {score:.2f}",
    ]
    with open(args.report, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))

    t_x = np.arange(len(x)) / rate
    t_y = np.arange(len(y)) / rate
    fig, axes = plt.subplots(3, 1, figsize=(12, 8), gridspec_kw={"height_ratios": [1, 1, 1.4]})
    axes[0].plot(t_x, x, color="#1f77b4", linewidth=0.4)
    axes[0].set_title("Microphone (input)")
    axes[1].plot(t_y, y, color="#d62728", linewidth=0.4)
    axes[1].set_title(f"Speaker (feedback): configured {args.delay} ms, measured {measured:.0f} ms, "
                      f"reported {reported} ms")
    end = max(t_x[-1] if len(t_x) else 0, t_y[-1] if len(t_y) else 0)
    for ax in axes[:2]:
        ax.set_xlim(0, end)
        ax.set_ylim(-1, 1)
        ax.set_ylabel("amplitude")
    axes[2].specgram(y, NFFT=512, Fs=rate, noverlap=384, cmap="magma")
    axes[2].set_xlim(0, end)
    axes[2].set_ylim(0, 5000)
    axes[2].set_ylabel("Hz")
    axes[2].set_xlabel("time (s), one time base for all three")
    axes[2].set_title("Feedback spectrogram")
    fig.tight_layout()
    fig.savefig(args.png, dpi=90)


if __name__ == "__main__":
    main()
