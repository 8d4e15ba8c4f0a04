#!/usr/bin/env bash
# Whole processes, start-up included, medians of RUNS runs, in one run:
#   - one 10-minute 48 kHz stereo WAVE file through `specan analyze` against
#     one scipy process (analyze_welch.py: read and welch of the file, its own
#     start and imports included, with the engine's window, FFT length and
#     hop as analyze_bench --schedule reports them);
#   - eight such files through `specan analyze -j 2` against eight scipy
#     processes one after another;
#   - `specan analyze` of a one-second file against `sox FILE -n stat`.
# Goals: one file at least 2x faster than scipy; -j 2 at least 3.6x faster
# than the scipy runs; start-up not slower than sox's.
#   bench/app/jobs_compare.sh [SPECAN] [RUNS]   (default build/src/app/specan, 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
specan=${1:-$here/../../build/src/app/specan}
runs=${2:-3}
schedule=$("$(dirname "$specan")/../../bench/app/analyze_bench" --schedule)
work=$(mktemp -d /tmp/specan-jobs-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import math, sys, wave, array
folder = sys.argv[1]
def write(path, seconds, hz):
    with wave.open(path, "wb") as w:
        w.setnchannels(2); w.setsampwidth(2); w.setframerate(48000)
        step = 48000
        for start in range(0, int(seconds * 48000), step):
            a = array.array("h", [0] * (2 * step))
            for i in range(step):
                v = int(16383 * math.sin(2 * math.pi * hz * (start + i) / 48000))
                a[2 * i] = v; a[2 * i + 1] = v // 4
            w.writeframes(a.tobytes())
write(folder + "/one.wav", 1, 1000)
write(folder + "/long0.wav", 600, 1000)
PY
for i in 1 2 3 4 5 6 7; do cp "$work/long0.wav" "$work/long$i.wav"; done
files=("$work"/long?.wav)

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print a / b }'; }

one=() welch=() jobs=() scipy=() start=() sox=()
for r in $(seq "$runs"); do
  one+=("$(seconds "$specan" analyze "${files[0]}")")
  # shellcheck disable=SC2086 # the schedule is three options
  welch+=("$(seconds /usr/bin/python3 "$here/analyze_welch.py" "${files[0]}" 1 0 $schedule)")
  jobs+=("$(seconds "$specan" analyze -j 2 "${files[@]}")")
  scipy+=("$(seconds bash -c 'for f in "$@"; do /usr/bin/python3 "'"$here"'/analyze_welch.py" "$f" 1 0 '"$schedule"'; done' _ "${files[@]}")")
  start+=("$(seconds "$specan" analyze "$work/one.wav")")
  if command -v sox >/dev/null; then sox+=("$(seconds sox "$work/one.wav" -n stat)"); fi
done
o=$(printf '%s\n' "${one[@]}" | median); w=$(printf '%s\n' "${welch[@]}" | median)
printf 'one 10-minute file: specan analyze %.3f s, scipy %.3f s (%s): %.2fx (goal >= 2)\n' \
  "$o" "$w" "$schedule" "$(ratio "$w" "$o")"
j=$(printf '%s\n' "${jobs[@]}" | median); p=$(printf '%s\n' "${scipy[@]}" | median)
s=$(printf '%s\n' "${start[@]}" | median)
printf 'eight 10-minute files: specan analyze -j 2 %.3f s, scipy one after another %.3f s: %.2fx (goal >= 3.6)\n' \
  "$j" "$p" "$(ratio "$p" "$j")"
if [ ${#sox[@]} -gt 0 ]; then
  x=$(printf '%s\n' "${sox[@]}" | median)
  printf 'one-second file: specan analyze %.3f s, sox -n stat %.3f s: %.2fx (goal >= 1)\n' "$s" "$x" "$(ratio "$x" "$s")"
fi
echo "# Reproduce: bench/app/jobs_compare.sh $specan $runs"
