#!/usr/bin/python3
"""scipy's counterpart of `specan analyze` on a WAVE file, timed on one core.

    bench/app/analyze_welch.py FILE [RUNS] [CPU] [--window=L] [--hop=H] [--fft=N]

Reads FILE with scipy.io.wavfile.read (the decode) and averages the spectra of
its first channel with scipy.signal.welch, no detrending: an L-point window
in an N-point FFT, one spectrum every H samples. The defaults are the
engine's at RBW 10 Hz and 48 kHz for a sound file, its Gaussian window of
16384 points in a 16384-point FFT, every 1489 samples (the hop at which
every sample weighs alike); `analyze_bench --schedule` prints the engine's
own figures, which analyze_bench and jobs_compare.sh pass here. Prints the
best time of RUNS runs (default 3), wall and CPU, pinned to CPU (default 0),
and the highest bin it found.
"""
import os
import sys
import time

import numpy as np
from scipy import signal
from scipy.io import wavfile

def main():
    options = {"--window": 16384, "--hop": 1489, "--fft": 16384}
    positional = []
    for argument in sys.argv[1:]:
        name, _, value = argument.partition("=")
        if name in options and value:
            options[name] = int(value)
        elif argument.startswith("--"):
            sys.exit(__doc__)
        else:
            positional.append(argument)
    if not positional:
        sys.exit(__doc__)
    path = positional[0]
    runs = int(positional[1]) if len(positional) > 1 else 3
    cpu = int(positional[2]) if len(positional) > 2 else 0
    nperseg, hop, nfft = options["--window"], options["--hop"], options["--fft"]
    os.sched_setaffinity(0, {cpu})
    times = []
    cpu_times = []
    for _ in range(runs):
        start = time.perf_counter()
        cpu_start = time.process_time()
        rate, data = wavfile.read(path)
        first = data[:, 0] if data.ndim > 1 else data
        f, p = signal.welch(first, fs=rate, window="hann", nperseg=nperseg, noverlap=nperseg - hop, nfft=nfft,
                            detrend=False,
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
