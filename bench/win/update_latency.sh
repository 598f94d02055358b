#!/usr/bin/env bash
# Measures, under Wine, how long a key update takes to reach the air through wave-out, and
# whether playback has gaps while two CPU-bound processes load the machine. hov.exe plays
# ABCDEF, switches to XYZABC after 3 s, and the null sink's monitor is recorded meanwhile; the
# figure is the time from the HovSendUpdate call to the end of the cross-fade in the recording.
# The recording's clock is tied to the wall clock by the arrival times of the recorder's 10 ms
# fragments (the earliest arrival against its sample count); the capture latency that remains
# makes the figures a few milliseconds high, never low.
# Usage: WINEPREFIX=DIR [HOV_PLAY_SECONDS=6] [HOV_LOAD=2] scripts/with-pulse -- update_latency.sh WINE-RUN HOV.EXE [RUNS]
set -euo pipefail

wine_run=${1:?usage: $0 WINE-RUN HOV.EXE [RUNS]}
hov_exe=${2:?usage: $0 WINE-RUN HOV.EXE [RUNS]}
runs=${3:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-update.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  [ -n "${HOV_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# Two CPU-bound processes for the whole measurement (HOV_LOAD=0: none).
for _ in $(seq "${HOV_LOAD:-2}"); do
  (while :; do :; done) &
  pids+=($!)
done

for run in $(seq "$runs"); do
  rec=$work/rec$run.raw
  python3 -c '
import signal, subprocess, sys, time
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
rec = subprocess.Popen(["parec", "--device=air.monitor", "--rate=48000", "--channels=1",
                        "--format=s16le", "--latency-msec=10"], stdout=subprocess.PIPE)
out, origin, samples = open(sys.argv[1], "wb"), float("inf"), 0
try:
    while True:
        chunk = rec.stdout.read1(960)
        if not chunk:
            break
        now = time.time()
        out.write(chunk)
        out.flush()
        samples += len(chunk) // 2
        origin = min(origin, now - samples / 48000)
        open(sys.argv[1] + ".origin", "w").write(repr(origin))
finally:
    rec.terminate()
' "$rec" &
  recorder=$!
  sleep 0.5
  "$wine_run" "$hov_exe" send --verbose ABCDEF --then XYZABC --at 3 --seconds "${HOV_PLAY_SECONDS:-6}" 2>&1 |
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done \
      > "$work/send$run.log"
  kill "$recorder"
  wait "$recorder" 2> /dev/null || true
  update=$(grep -m1 ' \[hov\] entry HovSendUpdate$' "$work/send$run.log" | cut -d' ' -f1)
  grep -h 'device lost\|open again\|did not stop' "$work/send$run.log" | cut -d' ' -f2- || true
  if [ -z "$update" ] || [ ! -s "$rec.origin" ]; then
    echo "run $run: no update or no recording; the sender's last lines:"
    grep -v '\[hov\] \(entry\|exit\)' "$work/send$run.log" | tail -n 3
    continue
  fi
  python3 - "$rec" "$(cat "$rec.origin")" "$update" "$run" << 'PY'
import array, sys
rec, origin, update, run = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
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
first, last = sound[0], sound[-1]
u = int((update - origin) * rate)
# The cross-fade's silence: 12000 samples, with the quiet ends of its ramps.
fade = [r for r in runs if r[0] + r[1] > u and 11900 <= r[1] <= 12400]
note = ""
if not fade:
    # An underrun next to the fade's silence lengthens it: the figure is then an upper bound.
    fade = [r for r in runs if r[0] + r[1] > u and r[1] >= 11900]
    note = " (the fade's silence ran into a gap: an upper bound)"
if not fade:
    print(f"run {run}: no cross-fade found after the update")
    sys.exit(0)
gap_end = fade[0][0] + fade[0][1]
done = gap_end + 6000  # the new key at full amplitude
gaps = [r for r in runs if first < r[0] < last and r[1] >= 96 and r is not fade[0]]
print(f"run {run}: update to new key at full level {1000 * (done - u) / rate:.0f} ms "
      f"(fade-in begins after {1000 * (gap_end - u) / rate:.0f} ms); "
      f"gaps of 2 ms or more while playing: {len(gaps)}{note}")
PY
done
