#!/usr/bin/env bash
# The robust receiver through the library: hov send plays a key into the private PulseAudio
# server's null sink, hov receive with HOV_RECEIVER=robust hears it from the sink's monitor,
# captured at the monitor's own rate.
# Usage: scripts/with-pulse [--rate HZ] -- robust_sound_test.sh PATH/TO/hov
set -uo pipefail

hov=${1:?usage: $0 PATH/TO/hov}
[ -n "${XDG_RUNTIME_DIR:-}" ] && pactl info > /dev/null 2>&1 || {
  echo "FAIL: no sound server; run under scripts/with-pulse" >&2
  exit 1
}
. "$(dirname "$0")/../../lib.sh"
cd "$work" || exit 1

rate=$(pactl list short sources | awk '$2 == "air.monitor"' | grep -o '[0-9]*Hz')
rate=${rate%Hz}
echo "source rate: $rate"

# A key already playing: heard by the robust receiver, which the library's log names.
if start_sender "$hov" send ABCDEF; then
  status=0
  out=$(HOV_RECEIVER=robust "$hov" receive --verbose --timeout-ms 6000 2> recv.log) || status=$?
  [ "$status" = 0 ] && [ "$out" = ABCDEF ] || fail "robust receive: '$out', status $status"
  grep -qxF "[hov] HovSinkRobust Open Channels:1,samplePerSec:$rate,bitPerSample:16" recv.log ||
    fail "the robust receiver did not run at the source's rate $rate: $(grep Open recv.log)"
  grep -q '^\[hov\] HovSinkConcurrent Open' recv.log && fail "the design's receiver ran as well"
  # The design's receiver is still given 48000 Hz, whatever the source's rate.
  status=0
  out=$("$hov" receive --verbose --timeout-ms 6000 2> design.log) || status=$?
  [ "$status" = 0 ] && [ "$out" = ABCDEF ] || fail "design receive: '$out', status $status"
  grep -qxF "[hov] HovSinkConcurrent Open Channels:1,samplePerSec:48000,bitPerSample:16" \
    design.log || fail "the design's receiver not at 48000 Hz: $(grep Open design.log)"
  stop_sender
fi

finish
