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
linux=${HOV_LINUX_CLI:-}
. "$(dirname "$0")/../../../lib.sh"

# receive_key NAME PROGRAM...: one receive with --json; the key must arrive. Its log, with the
# CR of Windows line ends removed, in NAME.log.
receive_key() {
  local name=$1 out status=0
  shift
  out=$("$@" receive --json --verbose --timeout-ms 15000 2> "$work/$name.log" | tr -d '\r') ||
    status=$?
  sed -i 's/\r$//' "$work/$name.log"
  if [[ $status == 0 && $out =~ ^\{\"code\":0,\"key\":\"ABCDEF\",\"frame\":null,\"ms\":([0-9]+)\}$ ]]; then
    echo "$name: ABCDEF in ${BASH_REMATCH[1]} ms"
  else
    fail "$name: receive exited $status and printed '$out'"
  fi
}

# expect NAME yes|no LINE...: each line is (or is not) in NAME.log.
expect() {
  local log=$work/$1.log want=$2 line got
  shift 2
  for line in "$@"; do
    grep -qxF -- "$line" "$log" && got=yes || got=no
    [ "$got" = "$want" ] || fail "line '$line' in $log: $got, expected $want"
  done
}

wasapi="[hov] AudioInputWinWASAPI::Open res: 1"
fallback="[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"
case $mode in
  wasapi)
    if start_sender "${hov[@]}" send ABCDEF --seconds 30; then
      receive_key windows-to-windows "${hov[@]}"
      expect windows-to-windows yes "$wasapi"
      expect windows-to-windows no "$fallback"
      [ -z "$linux" ] || receive_key windows-to-linux "$linux"
      stop_sender
    fi
    if [ -n "$linux" ] && start_sender "$linux" send ABCDEF --seconds 30; then
      receive_key linux-to-windows "${hov[@]}"
      stop_sender
    fi
    ;;
  wavein)
    if start_sender "${hov[@]}" send ABCDEF --seconds 30; then
      receive_key windows-at-44100 "${hov[@]}"
      expect windows-at-44100 yes "[hov] pwfx->nSamplesPerSec != 48000" "$fallback"
      expect windows-at-44100 no "[hov] AudioInputWinMME failed, all failed"
      stop_sender
    fi
    ;;
  robust)
    rate=$(pactl list short sources | awk '$2 == "air.monitor"' | grep -o '[0-9]*Hz')
    rate=${rate%Hz}
    sending=("${hov[@]}")
    [ -z "$linux" ] || sending=("$linux")
    if start_sender "${sending[@]}" send ABCDEF --seconds 30; then
      HOV_RECEIVER=robust receive_key "robust-at-$rate" "${hov[@]}"
      expect "robust-at-$rate" yes "$wasapi" \
        "[hov] HovSinkRobust Open Channels:1,samplePerSec:$rate,bitPerSample:16"
      expect "robust-at-$rate" no "$fallback"
      stop_sender
    fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 64
    ;;
esac

finish
