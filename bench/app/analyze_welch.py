#!/usr/bin/python3
"""scipy's counterpart of `specan analyze` on a WAVE file, timed on one core.

    bench/app/analyze_welch.py FILE [RUNS] [CPU]

Reads FILE with scipy.io.wavfile.read (the decode) and averages the spectra of
its first channel with scipy.signal.welch as the engine does at RBW 10 Hz and
48 kHz: a 16384-point window in a 16384-point FFT, one spectrum every 8192
samples (half the FFT), no detrending. Prints the best time of RUNS runs
(default 3), wall and CPU, pinned to CPU (default 0), and the highest bin it
found.
analyze_bench runs it beside the specan executable.
"""
import os
import sys
import time

import numpy as np
from scipy import signal
from scipy.io import wavfile

NPERSEG = 16384
NOVERLAP = NPERSEG - 8192


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    cpu = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    os.sched_setaffinity(0, {cpu})
    times = []
    cpu_times = []
    for _ in range(runs):
        start = time.perf_counter()
        cpu_start = time.process_time()
        rate, data = wavfile.read(path)
        first = data[:, 0] if data.ndim > 1 else data
        f, p = signal.welch(first, fs=rate, window="hann", nperseg=NPERSEG, noverlap=NOVERLAP, detrend=False,
                            scaling="spectrum", average="mean")
        times.append(time.perf_counter() - start)
        cpu_times.append(time.process_time() - cpu_start)
    k = int(np.argmax(p))
    full_scale = 32768.0 if data.dtype == np.int16 else 1.0
    best = min(range(runs), key=lambda r: times[r])
    print(f"scipy_seconds {times[best]:.6f} cpu {cpu_times[best]:.6f}")
    print(f"scipy_peak {f[k]:.3f} Hz {10 * np.log10(p[k] / full_scale ** 2):.2f} dB")


if __name__ == "__main__":
    main()
