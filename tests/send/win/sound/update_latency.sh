#!/usr/bin/env bash
# Measures, under Wine, how long a key update takes to reach the air through wave-out, and
# whether playback has gaps while two CPU-bound processes load the machine. hov.exe plays
# ABCDEF, switches to XYZABC after 3 s, and the null sink's monitor is recorded meanwhile; the
# figure is the time from the HovSendUpdate call to the end of the cross-fade in the recording.
# The recording's clock is tied to the wall clock by a short burst that pacat plays (10 ms
# latency) before the sender starts; its start-up time makes the figures a little high.
# Usage: WINEPREFIX=DIR [HOV_PLAY_SECONDS=6] [HOV_LOAD=2] scripts/with-pulse -- update_latency.sh WINE-RUN HOV.EXE [RUNS]
set -euo pipefail

wine_run=${1:?usage: $0 WINE-RUN HOV.EXE [RUNS]}
hov_exe=${2:?usage: $0 WINE-RUN HOV.EXE [RUNS]}
runs=${3:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-update.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Two CPU-bound processes for the whole measurement (HOV_LOAD=0: none).
for _ in $(seq "${HOV_LOAD:-2}"); do
  (while :; do :; done) &
  pids+=($!)
done

for run in $(seq "$runs"); do
  rec=$work/rec$run.raw
  start=$EPOCHREALTIME
  parec --device=air.monitor --rate=48000 --channels=1 --format=s16le --latency-msec=10 > "$rec" &
  recorder=$!
  sleep 0.5
  burst=$EPOCHREALTIME
  head -c 4800 /dev/urandom | pacat --device=air --rate=48000 --channels=1 --format=s16le \
    --latency-msec=10
  "$wine_run" "$hov_exe" send --verbose ABCDEF --then XYZABC --at 3 --seconds "${HOV_PLAY_SECONDS:-6}" 2>&1 |
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done \
      > "$work/send$run.log"
  kill "$recorder"
  wait "$recorder" 2> /dev/null || true
  update=$(grep -m1 ' \[hov\] entry HovSendUpdate$' "$work/send$run.log" | cut -d' ' -f1)
  grep -h 'device lost\|open again\|did not stop' "$work/send$run.log" | cut -d' ' -f2- || true
  python3 - "$rec" "$burst" "$update" "$run" << 'PY'
import array, sys
rec, burst, update, run = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
x = array.array('h', open(rec, 'rb').read())
rate = 48000
quiet = [abs(v) < 8 for v in x]
# Runs of silence: (first sample, length).
runs, i = [], 0
while i < len(x):
    if quiet[i]:
        j = i
        while j < len(x) and quiet[j]:
            j += 1
        runs.append((i, j - i))
        i = j
    else:
        i += 1
sound = [k for k, q in enumerate(quiet) if not q]
# The burst is the first sound; the sender's starts after the silence that follows it.
b = sound[0]
first = next(k for k in sound if k > b + 2400 + 4800)
last = sound[-1]
u = b + int((update - burst) * rate)
# The cross-fade's silence: 12000 samples, with the quiet ends of its ramps.
fade = [r for r in runs if r[0] + r[1] > u and 11900 <= r[1] <= 12400]
if not fade:
    print(f"run {run}: no cross-fade found after the update")
    sys.exit(1)
gap_end = fade[0][0] + fade[0][1]
done = gap_end + 6000  # the new key at full amplitude
gaps = [r for r in runs if first < r[0] < last and r[1] >= 96 and r is not fade[0]]
print(f"run {run}: update to new key at full level {1000 * (done - u) / rate:.0f} ms "
      f"(fade-in begins after {1000 * (gap_end - u) / rate:.0f} ms); "
      f"gaps of 2 ms or more while playing: {len(gaps)}")
PY
done
