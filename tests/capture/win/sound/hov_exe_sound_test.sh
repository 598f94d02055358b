#!/usr/bin/env bash
# hov.exe under Wine against real sound: send and receive as two Wine processes through the
# private PulseAudio server of scripts/with-pulse, checking which capture path the receiver took.
# Usage: WINEPREFIX=DIR [HOV_LINUX_CLI=PATH/TO/linux/hov] \
#          scripts/with-pulse [--rate 44100] -- hov_exe_sound_test.sh WINE-RUN HOV.EXE MODE
#   MODE wasapi:    48000 Hz server; the key arrives through WASAPI (the default endpoint).
#   MODE wavein:    44100 Hz server; WASAPI refuses the mix rate, the key arrives through wave-in.
#   MODE no-server: run without with-pulse; capture and playback fail with their statuses.
# With HOV_LINUX_CLI, wasapi mode also checks that the Linux and Windows builds hear each other.
set -uo pipefail

wine_run=${1:?usage: $0 WINE-RUN HOV.EXE MODE}
hov_exe=${2:?usage: $0 WINE-RUN HOV.EXE MODE}
mode=${3:?usage: $0 WINE-RUN HOV.EXE MODE}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-exe-sound.XXXXXX")
sender=
cleanup() {
  [ -z "$sender" ] || kill "$sender" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The Windows program, started so that a background job's process id is the program's own.
hov=("$wine_run" "$hov_exe")
# The Windows program ends its lines with CR LF.
unix_lines() { tr -d '\r' < "$1" > "$1.txt"; }
has_line() { grep -qxF -- "$2" "$1.txt"; }

# start_sender LOG PROGRAM ARGS...: a sender in the background; returns once it reports status
# 6 (playing), or fails when it ends without it.
start_sender() {
  local log=$1
  shift
  "$@" send --verbose ABCDEF --seconds 30 2> "$log" &
  sender=$!
  if ! grep -q -m1 $'^hov: status 6\r\\?$' < <(tail -n +1 -f --pid="$sender" "$log"); then
    fail "$* send did not start: $(grep -v '^\[hov\]' "$log")"
    sender=
    return 1
  fi
}

# Under Wine the signal ends the program at once, without the library's stop.
stop_sender() {
  kill -TERM "$sender" 2> /dev/null
  wait "$sender" 2> /dev/null
  sender=
}

# receive_key NAME PROGRAM...: one receive with --json; the key must arrive. Log in NAME.log.
receive_key() {
  local name=$1 out status=0
  shift
  out=$("$@" receive --json --verbose --timeout-ms 15000 2> "$work/$name.log" | tr -d '\r') ||
    status=$?
  unix_lines "$work/$name.log"
  if [[ $status == 0 && $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
    echo "$name: ABCDEF in ${BASH_REMATCH[1]} ms"
  else
    fail "$name: receive exited $status and printed '$out'"
  fi
}

show_capture_choice() {
  grep -E 'AudioInputWin|GetBuiltIn|GetDefaultAudioEndpoint|current audio device|pwfx|waveIn|GetCount' \
    "$1.txt" | grep -v '^\[hov\] \(entry\|exit\) ' | sed "s/^/  /"
}

case $mode in
  wasapi)
    if start_sender "$work/send.log" "${hov[@]}"; then
      receive_key windows-to-windows "${hov[@]}"
      log=$work/windows-to-windows.log
      show_capture_choice "$log"
      has_line "$log" "[hov] AudioInputWinWASAPI::Open res: 1" || fail "WASAPI did not capture"
      has_line "$log" "[hov] pDeviceEnumerator->GetDefaultAudioEndpoint succeed" ||
        fail "no capture endpoint logged"
      has_line "$log" "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME" &&
        fail "the front fell back to wave-in"
      [ -z "${HOV_LINUX_CLI:-}" ] || receive_key windows-to-linux "$HOV_LINUX_CLI"
      stop_sender
    fi
    if [ -n "${HOV_LINUX_CLI:-}" ] && start_sender "$work/linux-send.log" "$HOV_LINUX_CLI"; then
      receive_key linux-to-windows "${hov[@]}"
      stop_sender
    fi
    ;;
  wavein)
    if start_sender "$work/send.log" "${hov[@]}"; then
      receive_key windows-at-44100 "${hov[@]}"
      log=$work/windows-at-44100.log
      show_capture_choice "$log"
      for line in "[hov] pwfx->nSamplesPerSec != 48000" "[hov] AudioInputWinWASAPI::Open res: 0" \
                  "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"; do
        has_line "$log" "$line" || fail "no line '$line'"
      done
      has_line "$log" "[hov] AudioInputWinMME failed, all failed" && fail "wave-in failed too"
      stop_sender
    fi
    ;;
  no-server)
    status=0
    "${hov[@]}" receive --verbose --timeout-ms 5000 > /dev/null 2> "$work/receive.log" || status=$?
    unix_lines "$work/receive.log"
    [ "$status" = 4 ] || fail "receive without a server exited $status, expected 4"
    show_capture_choice "$work/receive.log"
    front=$(grep -xE '\[hov\] (try use AudioInputWinWASAPI|AudioInputWinWASAPI failed, try use AudioInputWinMME|AudioInputWinMME failed, all failed)' \
      "$work/receive.log.txt" | grep -c '')
    [ "$front" = 3 ] || fail "expected the front's three lines, got $front"
    has_line "$work/receive.log" "hov: status 4" || fail "receive: no status 4"
    status=0
    "${hov[@]}" send --verbose ABCDEF --seconds 1 > /dev/null 2> "$work/send.log" || status=$?
    unix_lines "$work/send.log"
    [ "$status" = 4 ] || fail "send without a server exited $status, expected 4"
    has_line "$work/send.log" "[hov] Open AudioOutput Failed" || fail "send: no 'Open AudioOutput Failed'"
    has_line "$work/send.log" "hov: status 7" || fail "send: no status 7"
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 64
    ;;
esac

if [ "$failures" != 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all passed"
