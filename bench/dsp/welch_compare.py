#!/usr/bin/python3
"""Normal-mode throughput of SpecAn's engine + trace averaging against
scipy.signal.welch on the same 60 s of 48 kHz white noise, in one run.

    bench/dsp/welch_compare.py <build>/bench/dsp/dsp_bench

Both compute the same averaged spectrum: RBW 1 Hz Hann is a 72 000-point
window in a 131 072-point FFT, one spectrum every 65 536 samples (half the
FFT), so welch gets nperseg=72000, nfft=131072, noverlap=72000-65536. Both
results are in mean-square units per bin and are compared as a sanity check.
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import signal

RATE = 48000
WINDOW, NFFT, HOP = 72000, 131072, 65536


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bench = sys.argv[1]
    rng = np.random.default_rng(20261207)
    x = rng.uniform(-0.5, 0.5, 60 * RATE).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "noise.f32")
        x.tofile(path)
        out = subprocess.run([bench, "throughput", path], check=True, capture_output=True, text=True).stdout
        print(out, end="")
        specan = float(next(l.split()[1] for l in out.splitlines() if l.startswith("specan_seconds")))
        trace = np.fromfile(path + ".trace", dtype=np.float32)

    runs = []
    for _ in range(5):
        t0 = time.perf_counter()
        f, p = signal.welch(x, fs=RATE, window="hann", nperseg=WINDOW, nfft=NFFT, noverlap=WINDOW - HOP,
                            detrend=False, scaling="spectrum", average="mean")
        runs.append(time.perf_counter() - t0)
    welch = sorted(runs)[len(runs) // 2]

    # Mean-square per bin on both sides; bins 1 … N/2−1 (ours folds Nyquist into 0).
    ratio = np.mean(trace[1:NFFT // 2]) / np.mean(p[1:NFFT // 2])
    print(f"scipy_welch_seconds {welch:.6f}")
    print(f"level agreement (SpecAn / welch, mean over bins) {ratio:.4f}")
    print(f"speed-up (welch time / SpecAn time) {welch / specan:.2f}x (goal >= 2)")


if __name__ == "__main__":
    main()
