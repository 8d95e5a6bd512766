#!/usr/bin/python3
"""Measures the delay heard in a demo run, draws it and writes the report.

Both recordings are stereo and come from one recorder: the left channel is
what went into the virtual microphone, the right channel what came out of
the virtual speaker, on one sample clock. The lag between the channels is
found by cross-correlation in one-second windows of speech (measured by
audiotool, the audio tools' command-line front end); its median is the
run's input-to-feedback delay. The calibration recording passed the same
microphone to the same speaker through the platform's devices without
the component (a DirectSound pass-through that wrote a known, short distance
ahead of the play cursor); its lag minus that write-ahead is what the
routing and the devices add. The measured delay is the run's lag minus that.
A pass-through cannot hold its lag when Wine's mixer stalls: the output
slips behind for good. Its lag is therefore taken from the first stretch of
windows that agree, and its write-ahead from before its first slip. The
routing so measured holds until such a stall: there Wine's play cursor
stands still for longer than the sound paused, because the mixer's queue
behind the cursor plays on, and from then on the routing is shorter by
what the queue lost (see docs/heard-delay.md). The component follows the
play cursor, as the platform's contract has it, so its run is measured
over the same state: the first stretch of windows that agree, beside the
median of all of them.
Lags are taken between the channels' short-time envelopes: the energy of
speech moves with the delay, and the envelope is immune to the sample-level
seams that block-wise playback leaves.

Writes input.wav, feedback.wav, demo.png and report.txt to --out-dir and
prints "quality: ok" or "quality: retry (<reason>)" as its last line.
"""
import argparse
import csv
import os
import subprocess
import wave

import numpy as np

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from signalkit import RATE, median, read_stereo  # noqa: E402

VOCODER_FRAME = 2048
LIMIT_MS = 10.0


def read_scaled(path):
    """Both channels of a recording, scaled to -1..1."""
    return tuple(np.frombuffer(channel, dtype=np.int16).astype(np.float64) / 32768.0
                 for channel in read_stereo(path))


def write_mono(path, signal):
    pcm = np.clip(np.round(signal * 32768.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def envelope(signal, window_ms=5.0):
    n = max(1, int(RATE * window_ms / 1000.0))
    return np.sqrt(np.convolve(signal * signal, np.ones(n) / n, mode="same"))


def window_lags(audiotool, path):
    """Per speech window: (start s, lag ms, correlation, feedback present)."""
    done = subprocess.run([audiotool, "windows", path], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{path}: audiotool windows failed: {done.stderr.strip()}")
    results = []
    for line in done.stdout.splitlines():
        fields = dict(part.split("=") for part in line.split())
        results.append((float(fields["start_s"]), float(fields["lag_ms"]), float(fields["correlation"]),
                        fields["heard"] == "1"))
    return results


def summarise(windows):
    """Median lag and interquartile spread of the windows that heard feedback."""
    lags = np.array([lag for _, lag, _, heard in windows if heard])
    if len(lags) == 0:
        return None, None
    q1, median, q3 = np.percentile(lags, [25, 50, 75])
    return float(median), float(q3 - q1)


STEADY_MS = 3.0
STEADY_WINDOWS = 3


def first_steady(windows):
    """Among the windows that heard feedback, the first stretch of at least
    STEADY_WINDOWS in a row within STEADY_MS of its first: (median lag,
    windows in it, seconds from the first window to its start), or
    (None, 0, 0)."""
    heard = [(start, lag) for start, lag, _, present in windows if present]
    for first in range(len(heard)):
        end = first
        while end < len(heard) and abs(heard[end][1] - heard[first][1]) <= STEADY_MS:
            end += 1
        if end - first >= STEADY_WINDOWS:
            return median([lag for _, lag in heard[first:end]]), end - first, heard[first][0] - heard[0][0]
    return None, 0, 0


def reported_delays(log_path):
    with open(log_path) as f:
        rows = [r for r in csv.DictReader(f)]
    values = [int(r["reported_delay_ms"]) for r in rows
              if float(r["time_s"]) >= 2.0 and int(r["reported_delay_ms"]) > 0 and r.get("paused", "0") == "0"]
    if not values:
        return 0, 0
    return int(median(values)), values[-1]


def speech_span(mic, spk):
    """First and last sample worth showing: speech in, feedback out, with margins."""
    loud = np.flatnonzero((envelope(mic, 20) > 0.01) | (envelope(spk, 20) > 0.01))
    if len(loud) == 0:
        return 0, len(mic)
    return max(0, loud[0] - int(0.4 * RATE)), min(len(mic), loud[-1] + int(0.6 * RATE))


def strongest_onset(mic, min_gap_s=0.25):
    """Time (s) of a clear syllable onset after a pause, for the close-up."""
    env = envelope(mic, 10)
    threshold = 0.25 * env.max()
    quiet = int(min_gap_s * RATE)
    candidates = []
    for i in np.flatnonzero((env[1:] >= threshold) & (env[:-1] < threshold)):
        if i > quiet and env[i - quiet:i].max() < 0.3 * threshold:
            candidates.append(i)
    index = candidates[len(candidates) // 3] if candidates else int(np.argmax(env))
    return index / RATE


def draw(path, mic, spk, offset_s, title, lag_ms, delay_line, arrow_label):
    t = np.arange(len(mic)) / RATE + offset_s
    end = t[-1] if len(t) else 1.0
    fig = plt.figure(figsize=(13, 9.5))
    grid = fig.add_gridspec(4, 1, height_ratios=[1, 1, 1.3, 1.3], hspace=0.55)
    fig.suptitle(title, fontsize=14, fontweight="bold")

    top = fig.add_subplot(grid[0])
    top.plot(t, mic, color="#1f6fb4", linewidth=0.4)
    top.set_title("Microphone: the voice sample as spoken into the virtual microphone", loc="left", fontsize=10)
    middle = fig.add_subplot(grid[1], sharex=top)
    middle.plot(t, spk, color="#c8322a", linewidth=0.4)
    middle.set_title("Speaker: what ryn played back (" + delay_line + ")", loc="left", fontsize=10)
    for ax in (top, middle):
        ax.set_xlim(t[0] if len(t) else 0, end)
        ax.set_ylim(-1, 1)
        ax.set_yticks([-1, 0, 1])
        ax.set_ylabel("amplitude")
        ax.grid(alpha=0.3)
    middle.set_xlabel("time (s), one time base for both")

    onset = strongest_onset(mic) + offset_s
    lo, hi = onset - 0.15, onset + 0.15 + max(0.35, lag_ms / 1000.0 + 0.3)
    for ax in (top, middle):
        ax.axvspan(lo, hi, color="#f2c14e", alpha=0.25)
    zoom = fig.add_subplot(grid[2])
    sel = (t >= lo) & (t <= hi)
    zoom.plot(t[sel], mic[sel], color="#1f6fb4", linewidth=0.8, label="microphone")
    zoom.plot(t[sel], spk[sel], color="#c8322a", linewidth=0.8, alpha=0.85, label="speaker")
    zoom.set_xlim(lo, hi)
    peak = max(1e-3, np.abs(mic[sel]).max(), np.abs(spk[sel]).max())
    zoom.set_ylim(-1.1 * peak, 1.75 * peak)
    zoom.annotate("", xy=(onset + lag_ms / 1000.0, 1.25 * peak), xytext=(onset, 1.25 * peak),
                  arrowprops=dict(arrowstyle="->", color="black", lw=1.5))
    zoom.text(onset + lag_ms / 2000.0, 1.35 * peak, arrow_label, ha="center", va="bottom", fontsize=10)
    zoom.set_title("Close-up of the shaded stretch: the same syllable, heard later", loc="left", fontsize=10)
    zoom.set_ylabel("amplitude")
    zoom.set_xlabel("time (s)")
    zoom.legend(loc="lower right", fontsize=9)
    zoom.grid(alpha=0.3)

    spectrogram = fig.add_subplot(grid[3], sharex=top)
    # A whisper of noise keeps the logarithm finite in digital silence.
    dither = np.random.default_rng(1).normal(0.0, 1e-6, len(spk))
    _, _, _, image = spectrogram.specgram(spk + dither, NFFT=512, Fs=RATE, noverlap=384, cmap="magma",
                                   xextent=(t[0], end) if len(t) else None)
    high = image.get_clim()[1]
    image.set_clim(high - 70.0, high)
    spectrogram.set_ylim(0, 5000)
    spectrogram.set_ylabel("Hz")
    spectrogram.set_xlabel("time (s)")
    spectrogram.set_title("Speaker spectrogram (pitch shifts move the harmonics up or down)", loc="left", fontsize=10)
    fig.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(fig)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--run", required=True, help="stereo recording of the component's run")
    p.add_argument("--calibration", required=True, help="stereo recording of the pass-through run")
    p.add_argument("--calibration-write-ahead", type=float, required=True)
    p.add_argument("--calibration-capture-period", type=float, required=True)
    p.add_argument("--calibration-steady", type=float, default=0.0,
                   help="seconds the pass-through's output ran before it first slipped")
    p.add_argument("--host-log", required=True)
    p.add_argument("--delay", type=int, required=True)
    p.add_argument("--shift", type=int, default=0)
    p.add_argument("--mode", type=int, default=1)
    p.add_argument("--attempt", type=int, default=1)
    p.add_argument("--earlier", default="", help="why an earlier attempt was repeated")
    p.add_argument("--out-dir", required=True)
    p.add_argument("--audiotool", required=True, help="the audio tools' command-line front end")
    args = p.parse_args()

    mic, spk = read_scaled(args.run)
    shifted = args.shift != 0
    run_windows = window_lags(args.audiotool, args.run)
    cal_windows = window_lags(args.audiotool, args.calibration)
    run_all, run_spread = summarise(run_windows)
    run_lag, run_steady, run_from = first_steady(run_windows)
    cal_lag, cal_steady, cal_from = first_steady(cal_windows)
    reported, reported_last = reported_delays(args.host_log)
    vocoder_ms = 1000.0 * VOCODER_FRAME / RATE if shifted and args.mode == 1 else 0.0

    problems = []
    for name, windows in (("run", run_windows), ("calibration", cal_windows)):
        silent = sum(1 for w in windows if not w[3])
        if not windows or silent > 0.25 * len(windows):
            problems.append(f"{name}: no feedback in {silent} of {len(windows)} speech windows")
    if run_spread is not None and run_spread > 30.0:
        problems.append(f"run: window lags spread {run_spread:.0f} ms")
    if run_windows and run_lag is None:
        problems.append(f"run: no {STEADY_WINDOWS} windows in a row agree on a lag")
    if cal_windows and cal_lag is None:
        problems.append(f"calibration: no {STEADY_WINDOWS} windows in a row agree on a lag")
    elif cal_lag is not None and args.calibration_steady and cal_from + 1.0 > args.calibration_steady:
        # The write-ahead is the one from before the slip; the lag must be too.
        problems.append(f"calibration: its output slipped {args.calibration_steady:.1f} s in, "
                        f"before {STEADY_WINDOWS} windows agreed on a lag")

    if reported and abs(reported - args.delay) > 15:
        problems.append(f"the component itself reports {reported} ms for a configured {args.delay} ms: "
                        "the run was disturbed")

    lines = ["ryn demo report", ""]
    lines.append(f"configured delay:  {args.delay} ms (frequency shift {args.shift}, method {args.mode})")
    lines.append(f"reported delay:    {reported} ms (GetParameter(\"DELAY\"), median once running; last {reported_last} ms)")
    if run_lag is None or cal_lag is None:
        lines.append("measured delay:    none (no feedback heard)")
        lines.append("difference:        none")
        lag_for_plot = 0.0
        delay_line = "no feedback heard"
        arrow_label = ""
    else:
        # The pass-through's chunks wait one capture period before they are
        # handed over; the component places samples by their capture time.
        routing = cal_lag - args.calibration_write_ahead - args.calibration_capture_period
        measured = run_lag - routing
        alone = measured - vocoder_ms
        lines.append(f"measured delay:    {measured:.1f} ms")
        lines.append(f"  microphone to speaker in this run:  {run_lag:.1f} ms "
                     f"(its first {run_steady} agreeing one-second windows, from {run_from:.0f} s; "
                     f"all {len(run_windows)}: median {run_all:.1f} ms, interquartile spread {run_spread:.1f} ms)")
        lines.append(f"  routing and devices without ryn:    {routing:.1f} ms "
                     f"(calibration: DirectSound pass-through, {cal_lag:.1f} ms microphone to speaker "
                     f"in its first {cal_steady} agreeing windows, "
                     f"minus its {args.calibration_write_ahead:.1f} ms write-ahead and the "
                     f"{args.calibration_capture_period:.1f} ms capture period its chunks waited)")
        if vocoder_ms:
            lines.append(f"  phase vocoder analysis frame:       {vocoder_ms:.1f} ms "
                         f"({VOCODER_FRAME} samples, added by method 1 with a shift; delay alone {alone:.1f} ms)")
        lines.append(f"difference:        {alone - args.delay:+.1f} ms against the configured delay "
                     f"(limit +/-{LIMIT_MS:.0f} ms)")
        if reported and abs(alone - reported) > 40.0:
            problems.append(f"measured {alone:.0f} ms but the component reports {reported} ms: "
                            "the devices' latency changed between calibration and run")
        elif abs(alone - args.delay) > LIMIT_MS:
            # The devices' latency may step by a mixer period from one start
            # to the next, which the calibration's own start does not show.
            problems.append(f"measured {alone:.1f} ms, beyond {LIMIT_MS:.0f} ms of the configured {args.delay} ms: "
                            "the devices' latency may have stepped between calibration and run")
        lag_for_plot = run_lag
        delay_line = f"configured {args.delay} ms, measured {measured:.0f} ms"
        if vocoder_ms:
            delay_line += f" incl. {vocoder_ms:.0f} ms vocoder frame"
        arrow_label = (f"{run_lag:.0f} ms = {measured:.0f} ms ryn + {routing:.0f} ms devices and routing")
    lines.append(f"attempt:           {args.attempt}" + (f" (repeated: {args.earlier})" if args.earlier else ""))
    if problems:
        lines.append("problems:          " + "; ".join(problems))

    os.makedirs(args.out_dir, exist_ok=True)
    first, last = speech_span(mic, spk)
    write_mono(os.path.join(args.out_dir, "input.wav"), mic[first:last])
    write_mono(os.path.join(args.out_dir, "feedback.wav"), spk[first:last])
    if shifted:
        title = f"ryn: configured {args.delay} ms, shift {args.shift:+d} (method {args.mode})"
    else:
        title = f"ryn delayed auditory feedback: configured {args.delay} ms"
    title += f"  |  reported {reported} ms"
    if run_lag is not None and cal_lag is not None:
        title += f"  |  measured {measured:.0f} ms"
    draw(os.path.join(args.out_dir, "demo.png"), mic[first:last], spk[first:last], first / RATE, title,
         lag_for_plot, delay_line, arrow_label)
    with open(os.path.join(args.out_dir, "report.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    print("quality: ok" if not problems else "quality: retry (" + "; ".join(problems) + ")")


if __name__ == "__main__":
    main()
