#!/usr/bin/env bash
# hov.exe under Wine against real sound: send and receive as two Wine processes through the
# private PulseAudio server of scripts/with-pulse, checking which capture path the receiver took.
# Usage: WINEPREFIX=DIR [HOV_LINUX_CLI=PATH/TO/linux/hov] \
#          scripts/with-pulse [--rate 44100] -- hov_exe_sound_test.sh WINE-RUN HOV.EXE MODE
#   MODE wasapi:    48000 Hz server; the key arrives through WASAPI (the default endpoint), and
#                   with HOV_LINUX_CLI the Linux and Windows builds hear each other both ways.
#   MODE wavein:    44100 Hz server; WASAPI refuses the mix rate, the key arrives through wave-in.
#   MODE robust:    any server rate; with HOV_RECEIVER=robust the key (sent by HOV_LINUX_CLI if
#                   given, else by hov.exe) arrives through WASAPI at the server's own rate.
set -uo pipefail

hov=("${1:?usage: $0 WINE-RUN HOV.EXE MODE}" "${2:?}")
mode=${3:?}
. "$(dirname "$0")/../../../lib.sh"
# Whether the log (Windows lines end in CR LF) holds the line.
has_line() { tr -d '\r' < "$1" | grep -qxF -- "$2"; }

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
  if [[ $status == 0 && $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
    echo "$name: ABCDEF in ${BASH_REMATCH[1]} ms"
  else
    fail "$name: receive exited $status and printed '$out'"
  fi
}

# expect LOG yes|no LINE...: each line is (or is not) in the log.
expect() {
  local log=$1 want=$2 line
  shift 2
  for line in "$@"; do
    if has_line "$log" "$line"; then [ "$want" = yes ] || fail "line '$line' in $log"; else
      [ "$want" = no ] || fail "no line '$line' in $log"; fi
  done
}

fallback="[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"
case $mode in
  wasapi)
    if start_sender "${hov[@]}" send ABCDEF --seconds 30; then
      receive_key windows-to-windows "${hov[@]}"
      expect "$work/windows-to-windows.log" yes "[hov] AudioInputWinWASAPI::Open res: 1"
      expect "$work/windows-to-windows.log" no "$fallback"
      [ -z "${HOV_LINUX_CLI:-}" ] || receive_key windows-to-linux "$HOV_LINUX_CLI"
      stop_sender
    fi
    if [ -n "${HOV_LINUX_CLI:-}" ] && start_sender "$HOV_LINUX_CLI" send ABCDEF --seconds 30; then
      receive_key linux-to-windows "${hov[@]}"
      stop_sender
    fi
    ;;
  wavein)
    if start_sender "${hov[@]}" send ABCDEF --seconds 30; then
      receive_key windows-at-44100 "${hov[@]}"
      expect "$work/windows-at-44100.log" yes "[hov] pwfx->nSamplesPerSec != 48000" "$fallback"
      expect "$work/windows-at-44100.log" no "[hov] AudioInputWinMME failed, all failed"
      stop_sender
    fi
    ;;
  robust)
    rate=$(pactl list short sources | awk '$2 == "air.monitor"' | grep -o '[0-9]*Hz')
    rate=${rate%Hz}
    sending=("${hov[@]}")
    [ -z "${HOV_LINUX_CLI:-}" ] || sending=("$HOV_LINUX_CLI")
    if start_sender "${sending[@]}" send ABCDEF --seconds 30; then
      HOV_RECEIVER=robust receive_key "robust-at-$rate" "${hov[@]}"
      expect "$work/robust-at-$rate.log" yes "[hov] AudioInputWinWASAPI::Open res: 1" \
        "[hov] HovSinkRobust Open Channels:1,samplePerSec:$rate,bitPerSample:16"
      expect "$work/robust-at-$rate.log" no "$fallback"
      stop_sender
    fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 64
    ;;
esac

finish
