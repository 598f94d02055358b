# shellcheck shell=bash disable=SC2034
# Sourced by the shell tests: a work folder removed at exit (after the script's own cleanup),
# fail, run, one_line, await, start_sender, stop_sender and finish.
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-test.XXXXXX")
sender=
cleanup() { [ -z "$sender" ] || kill "$sender" 2> /dev/null; }
trap 'cleanup; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# run EXPECTED_STATUS CMD...: runs CMD (at most 20 s) in the current folder with stdout in $out
# and out.txt, stderr in $err and err.txt.
run() {
  local expected=$1 status
  shift
  timeout 20 "$@" > out.txt 2> err.txt
  status=$?
  out=$(cat out.txt)
  err=$(cat err.txt)
  [ "$status" = "$expected" ] || fail "$* exited $status, expected $expected (stderr: $err)"
}
one_line() { [ "$(printf '%s' "$err" | grep -c '')" = 1 ] || fail "$1: not one line on stderr: $err"; }
# await LOG PID PATTERN [COUNT]: true once COUNT lines of LOG match PATTERN (a CR before the end
# of line is ignored), false if PID ends first.
await() {
  [ "$(grep -m "${4:-1}" -e "$3" < <(tail -n +1 -f --pid="$2" "$1" | sed -u 's/\r$//') |
    grep -c '')" = "${4:-1}" ]
}
# start_sender CMD...: the sender CMD --verbose in the background, logging to $work/send.log;
# returns once it reports status 6 (playing), or fails when it ends without it.
start_sender() {
  "$@" --verbose 2> "$work/send.log" &
  sender=$!
  await "$work/send.log" "$sender" '^hov: status 6$' && return 0
  fail "$* did not start: $(grep -v '^\[hov\]' "$work/send.log")"
  sender=
  return 1
}
# stop_sender: ends the sender with SIGTERM (under Wine: at once, without the library's stop).
stop_sender() {
  kill -TERM "$sender" 2> /dev/null
  wait "$sender" 2> /dev/null
  sender=
}
# finish [MESSAGE]: the verdict, as the exit status.
finish() {
  [ "$failures" = 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
  echo "${1:-all passed}"
}
