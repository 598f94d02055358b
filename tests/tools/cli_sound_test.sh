#!/usr/bin/env bash
# hov send and hov receive as two processes through the default devices, which scripts/with-pulse
# points at its private null sink and that sink's monitor.
# Usage: scripts/with-pulse -- cli_sound_test.sh PATH/TO/hov
set -uo pipefail

hov=${1:?usage: $0 PATH/TO/hov}
[ -n "${XDG_RUNTIME_DIR:-}" ] && pactl info > /dev/null 2>&1 || {
  echo "FAIL: no sound server; run under scripts/with-pulse" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-cli-sound.XXXXXX")
sender=
cleanup() {
  [ -z "$sender" ] || kill "$sender" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# start_sender LOG ARGS...: hov send in the background, its log and status lines in LOG; returns
# once the sender reports status 6 (playing), or fails when it ends without it.
start_sender() {
  local log=$1
  shift
  "$hov" send --verbose "$@" 2> "$log" &
  sender=$!
  if ! grep -q -m1 '^hov: status 6$' < <(tail -n +1 -f --pid="$sender" "$log"); then
    fail "hov send $* did not start: $(grep -v '^\[hov\]' "$log")"
    return 1
  fi
}

# finish_sender STATUS: waits for the sender and checks its exit status and its stop.
finish_sender() {
  local status=0
  wait "$sender" || status=$?
  [ "$status" = "$1" ] || fail "hov send exited $status, expected $1"
  grep -q '^hov: status 8$' send.log || fail "hov send did not stop the sender (no status 8)"
  sender=
}

# A key sent by one process is received by another while it plays.
if start_sender send.log ABCDEF --seconds 8; then
  status=0
  out=$("$hov" receive --timeout-ms 6000 --json 2> err.txt) || status=$?
  [ "$status" = 0 ] || fail "hov receive exited $status"
  [ ! -s err.txt ] || fail "hov receive wrote to a stderr that is not a terminal: $(cat err.txt)"
  if [[ $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
    echo "receive latency: ${BASH_REMATCH[1]} ms"
  else
    fail "hov receive --json printed '$out'"
  fi
  status=0
  out=$("$hov" receive --timeout-ms 6000) || status=$?
  [ "$status" = 0 ] && [ "$out" = ABCDEF ] || fail "hov receive: '$out', status $status"
  finish_sender 0
fi

# Nothing playing: a time-out, status 2, no key on stdout; the result cannot come before the
# time limit has passed.
status=0
out=$("$hov" receive --timeout-ms 1500 2> err.txt) || status=$?
[ "$status" = 2 ] || fail "hov receive with nothing playing exited $status, expected 2"
[ -z "$out" ] || fail "hov receive time-out printed '$out'"
status=0
out=$("$hov" receive --timeout-ms 1500 --json) || status=$?
[ "$status" = 2 ] || fail "hov receive --json with nothing playing exited $status"
if [[ $out =~ ^\{\"code\":-2,\"key\":\"\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
  [ "${BASH_REMATCH[1]}" -ge 1500 ] || fail "time-out reported after ${BASH_REMATCH[1]} ms"
else
  fail "hov receive --json time-out printed '$out'"
fi

# A receiver started well before the sender: the library's receiver only decodes its first
# 2.7 s, so the key is heard by one of the receivers hov receive starts again every 3 s.
status=0
"$hov" receive --timeout-ms 12000 --json > early.txt 2> /dev/null &
receiver=$!
sleep 4
if start_sender send.log ABCDEF --seconds 6; then
  wait "$receiver" || status=$?
  out=$(cat early.txt)
  [ "$status" = 0 ] || fail "hov receive started before the sender exited $status"
  if [[ $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
    [ "${BASH_REMATCH[1]}" -ge 4000 ] || fail "early receiver heard the key after ${BASH_REMATCH[1]} ms"
  else
    fail "hov receive started before the sender printed '$out'"
  fi
  finish_sender 0
fi

# A sender without a time limit stops cleanly on SIGTERM (Ctrl-C's SIGINT is ignored by
# background jobs of a script, so the test uses SIGTERM, which takes the same path).
if start_sender send.log ABCDEF; then
  kill -TERM "$sender"
  finish_sender 0
fi

# A receiver stopped before its result: status 130, the receiver stopped (status 5).
"$hov" receive --verbose --timeout-ms 60000 2> recv.log &
receiver=$!
if grep -q -m1 '^hov: status 3$' < <(tail -n +1 -f --pid="$receiver" recv.log); then
  kill -TERM "$receiver"
fi
status=0
wait "$receiver" || status=$?
[ "$status" = 130 ] || fail "interrupted hov receive exited $status, expected 130"
grep -q '^hov: status 5$' recv.log || fail "interrupted hov receive did not stop the receiver"

# --then: the key changes while playing. About five seconds of the old key are already queued
# at the device, so receivers in a row hear ABCDEF, then, after the cross-fade, HELLOS.
if start_sender send.log ABCDEF --seconds 20 --then HELLOS --at 0.5; then
  heard=()
  for attempt in $(seq 12); do
    out=$("$hov" receive --timeout-ms 3000 --json) || true
    heard+=("$out")
    [[ $out == *'"key":"HELLOS"'* ]] && break
  done
  [[ ${heard[-1]} == *'"key":"HELLOS"'* ]] || fail "--then: HELLOS never heard: ${heard[*]}"
  [[ ${heard[0]} == *'"key":"ABCDEF"'* ]] || fail "--then: first heard ${heard[0]}"
  for out in "${heard[@]}"; do
    [[ $out == *'"key":"ABCDEF"'* || $out == *'"key":"HELLOS"'* || $out == *'"code":-2'* ]] ||
      fail "--then: heard $out"
  done
  grep -q '^\[hov\] SendUpdate called$' send.log || fail "--then: no update made"
  kill -TERM "$sender"
  finish_sender 0
fi

# record: two seconds of what the receiver hears while a sender plays, through the capture
# front into a WAV file; decode and analyze find the key in it. With stderr a file, no status
# line is drawn there.
if start_sender send.log ABCDEF --seconds 8; then
  status=0
  "$hov" record rec.wav --seconds 2 2> err.txt || status=$?
  [ "$status" = 0 ] || fail "hov record exited $status: $(cat err.txt)"
  [ ! -s err.txt ] || fail "hov record wrote to a stderr that is not a terminal: $(cat err.txt)"
  [ "$(stat -c %s rec.wav 2> /dev/null)" = $((44 + 2 * 48000 * 2)) ] ||
    fail "hov record --seconds 2: not 96000 frames of mono 16-bit"
  status=0
  out=$("$hov" decode rec.wav) || status=$?
  [ "$status" = 0 ] && [ "$out" = ABCDEF ] || fail "hov decode of the recording: '$out', $status"
  verdict=$("$hov" analyze rec.wav | head -n 1)
  [[ $verdict == "tones "*" dB above the band noise; decoders "*" agree on ABCDEF at "* ]] ||
    fail "hov analyze of the recording: '$verdict'"
  finish_sender 0
fi

# On a terminal (script gives the command one), record draws its status line: the time, the
# level of the tone band, the decoders; redrawn in place and cleared at the end.
if command -v script > /dev/null; then
  script -qec "'$hov' record term.wav --seconds 1" /dev/null > term.txt 2>&1 ||
    fail "hov record on a terminal failed: $(tr '\r' '\n' < term.txt)"
  grep -q 'hov record .* of 1\.0 s  19\.1-19\.9 kHz: .*  decoders [0-9]*/10 done' term.txt ||
    fail "hov record on a terminal drew no status line: $(tr '\r' '\n' < term.txt)"
  [ "$(tail -c 1 term.txt | od -An -c | tr -d ' ')" = '\r' ] ||
    fail "hov record on a terminal did not clear its status line"
fi

# record without a time limit stops at SIGTERM (as at Ctrl-C) and writes what it captured.
"$hov" record --verbose open.wav 2> rec.log &
recorder=$!
if grep -q -m1 '^hov record: capturing$' < <(tail -n +1 -f --pid="$recorder" rec.log); then
  kill -TERM "$recorder"
fi
status=0
wait "$recorder" || status=$?
[ "$status" = 0 ] || fail "hov record stopped by SIGTERM exited $status"
[ "$(stat -c %s open.wav 2> /dev/null || echo 0)" -gt 44 ] ||
  fail "hov record stopped by SIGTERM wrote no file"

# A recording that cannot be written: status 1 and the reason, once the capture has ended.
status=0
"$hov" record /dev/full --seconds 0.3 2> err.txt || status=$?
[ "$status" = 1 ] && grep -q 'cannot write /dev/full: No space left' err.txt ||
  fail "hov record to /dev/full exited $status: $(cat err.txt)"

# No sound server (and no sound card in this machine): one line, status 4, no file.
if ! grep -q '[0-9]' /proc/asound/cards 2> /dev/null; then
  status=0
  PULSE_SERVER=unix:$PWD/no-server "$hov" record none.wav --seconds 1 2> err.txt || status=$?
  [ "$status" = 4 ] || fail "hov record without a sound server exited $status, expected 4"
  [ "$(grep -c '' err.txt)" = 1 ] || fail "hov record without a sound server: $(cat err.txt)"
  [ ! -e none.wav ] || fail "hov record without a sound server created a file"
fi

# loopback: one process sends and receives through the exports; the key and the time from the
# receiver's start to the result on stdout. With stderr a file, no status line is drawn there.
status=0
out=$("$hov" loopback ABCDEF 2> err.txt) || status=$?
[ "$status" = 0 ] || fail "hov loopback ABCDEF exited $status: $(cat err.txt)"
if [[ $out =~ ^ABCDEF\ received\ in\ ([0-9]+)\ ms$ ]]; then
  echo "loopback latency: ${BASH_REMATCH[1]} ms"
else
  fail "hov loopback printed '$out'"
fi
[ ! -s err.txt ] || fail "hov loopback wrote to a stderr that is not a terminal: $(cat err.txt)"
status=0
out=$("$hov" loopback HELLOS --json) || status=$?
[ "$status" = 0 ] || fail "hov loopback --json exited $status"
[[ $out =~ ^\{\"code\":0,\"key\":\"HELLOS\",\"frame\":null,\"ms\":[0-9]+,\"sent\":\"HELLOS\"\}$ ]] ||
  fail "hov loopback --json printed '$out'"
# A time limit shorter than the 1.14 s a key needs: a time-out, status 2, the sender stopped.
status=0
out=$("$hov" loopback ABCDEF --timeout-ms 500 --verbose 2> err.txt) || status=$?
[ "$status" = 2 ] || fail "hov loopback --timeout-ms 500 exited $status, expected 2"
[ -z "$out" ] || fail "hov loopback time-out printed '$out'"
grep -q '^hov: status 8$' err.txt || fail "hov loopback time-out did not stop the sender"
grep -q '^hov: status 5$' err.txt || fail "hov loopback time-out did not stop the receiver"
status=0
"$hov" loopback abcdef 2> err.txt || status=$?
[ "$status" = 4 ] || fail "hov loopback abcdef exited $status, expected 4"
[ "$(grep -c '' err.txt)" = 1 ] || fail "hov loopback abcdef: expected one line: $(cat err.txt)"

# A share key the library refuses: status 7, exit 4.
status=0
"$hov" send abcdef --seconds 1 2> err.txt || status=$?
[ "$status" = 4 ] || fail "hov send abcdef exited $status, expected 4"

if [ "$failures" != 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all passed"
