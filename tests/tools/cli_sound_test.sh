#!/usr/bin/env bash
# hov send, receive, record and loopback through the default devices, which scripts/with-pulse
# points at its private null sink and that sink's monitor. Every wait is on a status line.
# Usage: scripts/with-pulse -- cli_sound_test.sh PATH/TO/hov
set -uo pipefail

hov=${1:?usage: $0 PATH/TO/hov}
[ -n "${XDG_RUNTIME_DIR:-}" ] && pactl info > /dev/null 2>&1 || {
  echo "FAIL: no sound server; run under scripts/with-pulse" >&2
  exit 1
}
. "$(dirname "$0")/../lib.sh"
cd "$work" || exit 1

# finish_sender [SIGNAL]: stops the sender with SIGNAL (or waits for it), which must exit 0
# after stopping the sender (status 8).
finish_sender() {
  [ -z "${1:-}" ] || kill "-$1" "$sender"
  wait "$sender" || fail "hov send exited $?"
  grep -q '^hov: status 8$' "$work/send.log" || fail "hov send did not stop the sender (no status 8)"
  sender=
}

# A key sent by one process is received by another while it plays, and found by decode in two
# seconds that record takes through the capture front; no status line on a stderr file. A sender
# without a time limit stops cleanly on SIGTERM (the path Ctrl-C takes).
if start_sender "$hov" send ABCDEF; then
  run 0 "$hov" receive --timeout-ms 6000 --json
  [ -z "$err" ] || fail "hov receive wrote to a stderr that is not a terminal: $err"
  [[ $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]] ||
    fail "hov receive --json printed '$out'"
  run 0 "$hov" record rec.wav --seconds 2
  [ -z "$err" ] && [ "$(stat -c %s rec.wav 2> /dev/null)" = $((44 + 2 * 48000 * 2)) ] ||
    fail "hov record --seconds 2: not 96000 frames of mono 16-bit without stderr: $err"
  run 0 "$hov" decode rec.wav
  [ "$out" = ABCDEF ] || fail "hov decode of the recording: '$out'"
  finish_sender TERM
fi

# A receiver whose first window passed before the sender started: the library's receiver only
# decodes its first 2.7 s, so the key is heard by one hov receive starts again (status 3 anew).
"$hov" receive --verbose --timeout-ms 12000 --json > early.txt 2> early.log &
receiver=$!
if await early.log "$receiver" '^hov: status 3$' 2 && start_sender "$hov" send ABCDEF --seconds 6; then
  status=0
  wait "$receiver" || status=$?
  [ "$status" = 0 ] && [[ $(cat early.txt) =~ \"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\} ]] &&
    [ "${BASH_REMATCH[1]}" -ge 3000 ] || fail "late sender: receive exited $status: $(cat early.txt)"
  finish_sender
else
  fail "hov receive did not start its receiver again: $(grep '^hov' early.log)"
  wait "$receiver"
fi

# A receiver stopped before its result: status 130, the receiver stopped (status 5).
"$hov" receive --verbose --timeout-ms 60000 2> recv.log &
receiver=$!
await recv.log "$receiver" '^hov: status 3$' && kill -TERM "$receiver"
status=0
wait "$receiver" || status=$?
[ "$status" = 130 ] || fail "interrupted hov receive exited $status, expected 130"
grep -q '^hov: status 5$' recv.log || fail "interrupted hov receive did not stop the receiver"

# On a terminal, record draws its status line in place and clears it at the end.
if command -v script > /dev/null; then
  script -qec "'$hov' record term.wav --seconds 1" /dev/null > term.txt 2>&1 ||
    fail "hov record on a terminal failed: $(tr '\r' '\n' < term.txt)"
  grep -q 'hov record .* of 1\.0 s  19\.1-19\.9 kHz: .*  decoders [0-9]*/10 done' term.txt &&
    [ "$(tail -c 1 term.txt | od -An -c | tr -d ' ')" = '\r' ] ||
    fail "hov record on a terminal: status line $(tr '\r' '\n' < term.txt)"
fi

# record without a time limit stops at SIGTERM and writes what it captured.
"$hov" record --verbose open.wav 2> rec.log &
recorder=$!
await rec.log "$recorder" '^hov record: capturing$' && kill -TERM "$recorder"
status=0
wait "$recorder" || status=$?
[ "$status" = 0 ] && [ "$(stat -c %s open.wav 2> /dev/null || echo 0)" -gt 44 ] ||
  fail "hov record stopped by SIGTERM exited $status, file: $(ls -l open.wav 2>&1)"

# Failures: a recording that cannot be written (status 1 once the capture ended), no sound
# server (status 4, one line, no file), keys the library refuses (status 4).
run 1 "$hov" record /dev/full --seconds 0.3
[[ $err == *'cannot write /dev/full: No space left'* ]] || fail "hov record to /dev/full: $err"
if ! grep -q '[0-9]' /proc/asound/cards 2> /dev/null; then
  run 4 env PULSE_SERVER="unix:$PWD/no-server" "$hov" record none.wav --seconds 1
  one_line "hov record without a sound server"
  [ ! -e none.wav ] || fail "hov record without a sound server made a file"
fi
for cmd in "loopback abcdef" "send abcdef --seconds 1"; do
  run 4 "$hov" $cmd
  one_line "hov $cmd"
done

# loopback: one process sends and receives through the exports; --receiver robust reaches the
# library as HOV_RECEIVER, and its robust sink hears the key.
run 0 "$hov" loopback ABCDEF --receiver robust --verbose
[[ $out =~ ^ABCDEF\ received\ in\ ([0-9]+)\ ms$ ]] && grep -q 'HovSinkRobust Open' err.txt ||
  fail "hov loopback --receiver robust printed '$out'"
# A time limit shorter than the 1.14 s a key needs: status 2, sender and receiver stopped.
run 2 "$hov" loopback ABCDEF --timeout-ms 500 --verbose
[ -z "$out" ] && grep -q '^hov: status 8$' err.txt && grep -q '^hov: status 5$' err.txt ||
  fail "hov loopback --timeout-ms 500 printed '$out' and did not stop both"

finish
