#!/usr/bin/env bash
# The file commands of the hov tool (encode, decode, analyze): outputs, exit statuses, and the
# inputs and outputs they must refuse. Usage: cli_test.sh PATH/TO/hov
set -uo pipefail

hov=${1:?usage: $0 PATH/TO/hov}
. "$(dirname "$0")/../lib.sh"
cd "$work" || exit 1

expect_out() { [ "$out" = "$2" ] || fail "$1: stdout '$out', expected '$2'"; }
first_line() { head -n 1 out.txt; }

# Decoding. The sink accepts in the 480-frame buffer that brings frame 54657 (the second
# decoder's window end): after 54720 frames; other buffer sizes move that point, a stereo file is
# mixed down to the same stream, one frame less times out. Other rates are resampled to 48000 Hz
# (sox's resampler makes them), the result's frame counted at the file's rate; 16-bit files reach the receiver sample for sample, so a signal of
# one step (-1, 0, 1) decodes. A time-out prints one line on stderr, nothing on stdout.
for key in ZZZZZZ ABCDEF; do
  run 0 "$hov" encode "$key" "$key.wav"
done
[ "$(stat -c %s ABCDEF.wav)" = $((44 + 5 * 48000 * 2)) ] || fail "ABCDEF.wav is not 5 s of mono 16-bit"
sox ABCDEF.wav -c 2 stereo.flac
sox ABCDEF.wav cut.wav trim 0 54656s
sox ABCDEF.wav r44100.wav rate 44100 2> /dev/null
sox ABCDEF.wav r96000.wav rate 96000 2> /dev/null
sox -D ABCDEF.wav -b 16 lsb.wav vol 0.00004
sox -n -r 48000 -c 1 -b 16 silence.wav trim 0 5
sox -R -n -r 48000 -c 1 -b 16 whitenoise.wav synth 5 whitenoise vol 0.5
while IFS='|' read -r status args expected; do
  eval "run $status \"\$hov\" decode $args"
  expect_out "decode $args" "$expected"
  # Only a time-out without --json writes to stderr: one line.
  if [ "$status" = 0 ] || [[ $args == --json* ]]; then [ -z "$err" ] || fail "decode $args: $err"
  else one_line "decode $args"; fi
done << 'DECODES'
0|ZZZZZZ.wav|ZZZZZZ
0|--json --buffer-frames 480 stereo.flac|{"code":0,"key":"ABCDEF","frame":54720}
0|--json --buffer-frames 1 ABCDEF.wav|{"code":0,"key":"ABCDEF","frame":54657}
2|--json cut.wav|{"code":-2,"key":"","frame":null}
0|--json --buffer-frames 441 r44100.wav|{"code":0,"key":"ABCDEF","frame":50715}
0|r96000.wav|ABCDEF
0|lsb.wav|ABCDEF
0|--receiver robust r44100.wav|ABCDEF
2|silence.wav|
2|whitenoise.wav|
DECODES

# Bad keys: status 2, the key named, no file made, an existing one untouched.
for key in abcdef ABCDE "ABC EF"; do
  run 2 "$hov" encode "$key" bad.wav
  [ ! -e bad.wav ] || fail "encode '$key' created a file"
  [[ $err == *"'$key'"* ]] || fail "encode '$key': the error does not name the key: $err"
done
cp ABCDEF.wav keep.wav
run 2 "$hov" encode ABCDEF keep.wav --then hellos --at 1
cmp -s ABCDEF.wav keep.wav || fail "encode with a bad --then key changed an existing file"

# Files that cannot be read or written: status 1, one line with the reason, nothing left.
mkfifo fifo && mkdir folder && echo "not audio" > text.wav
for f in missing.wav fifo folder text.wav; do
  for cmd in decode analyze; do
    run 1 "$hov" "$cmd" "$f"
    one_line "$cmd $f"
    [ "$f" != fifo ] || [[ $err == *"not a regular file"* ]] || fail "$cmd fifo: no reason: $err"
  done
done
for args in "encode ABCDEF /dev/full" "encode ABCDEF no-such-dir/out.wav" \
  "analyze ABCDEF.wav --png /dev/full"; do
  # shellcheck disable=SC2086 # a command line, split on purpose
  run 1 "$hov" $args
  one_line "$args"
  [[ $args != *full || $err == *"No space left"* ]] || fail "$args: no reason: $err"
done
# A disk that fills up: the half-written file is removed.
(trap '' XFSZ; ulimit -f 100; timeout 20 "$hov" encode ABCDEF big.wav --seconds 60 2> err.txt)
status=$?
[ "$status" = 1 ] || fail "encode past the file size limit exited $status"
[ ! -e big.wav ] || fail "encode past the file size limit left $(stat -c %s big.wav) bytes"

# encode --then: the device asks for a second at a time, so a change asked for at 1.5 s starts
# at 2 s; from the end of the half-second cross-fade the new key is heard.
run 0 "$hov" encode ABCDEF change.wav --seconds 8 --then HELLOS --at 1.5
cmp -s -i 44 -n $((2 * 48000 * 2)) ABCDEF.wav change.wav || fail "--then: the first 2 s changed"
cmp -s -i 44 -n $((2 * 48000 * 2 + 200)) ABCDEF.wav change.wav && fail "--then: no change at 2 s"
sox change.wav later.wav trim 2.5
run 0 "$hov" decode later.wav
expect_out "--then: after the fade" HELLOS
run 64 "$hov" encode ABCDEF bad.wav --seconds 5 --then HELLOS --at 4.2
[ ! -e bad.wav ] || fail "--at past the end created a file"

# analyze: the verdict first, the decoders' lines after; acceptance as decode finds it.
run 0 "$hov" analyze ABCDEF.wav
[[ $(first_line) =~ ^tones\ ([0-9]+)\ dB\ above\ the\ band\ noise\;\ decoders\ 1\ and\ 2\ agree\ on\ ABCDEF\ at\ 1\.14\ s$ ]] ||
  fail "analyze clean: verdict '$(first_line)'"
grep -q '^ *1  *0\.00- *0\.94 .* 1 0 5 4 10 11 8 15 0 0 1  *16 84 171 143  *ABCDEF  vote 1 at 0\.94 s$' \
  out.txt || fail "analyze clean: decoder 1: $(grep '^ *1  ' out.txt)"
run 0 "$hov" analyze --json ABCDEF.wav
[[ $out == *'"accepted":{"key":"ABCDEF","decoders":[1,2],"frame":54720,"seconds":1.140}}' ]] ||
  fail "analyze --json: acceptance: ${out: -120}"
sox -R -n -r 48000 -c 1 -b 16 pink.wav synth 5 pinknoise vol 0.3
sox -R -m ABCDEF.wav pink.wav -b 16 cutoff.wav sinc -16000 2> /dev/null
for c in "r44100|resampled from 44100 to 48000 Hz; tones * agree on ABCDEF at 1.14 s" \
  "whitenoise|no tones above the band noise (*); no two decoders agree (*" \
  "silence|no energy between 19.1 and 19.9 kHz: *" \
  "cutoff|no energy between 19.1 and 19.9 kHz: the speaker or microphone cuts ultrasound" \
  "cut|the file is 1.14 s long: the receiver needs 1.14 s to accept a key"; do
  run 0 "$hov" analyze "${c%%|*}.wav"
  # shellcheck disable=SC2053 # the expected verdict is a pattern
  [[ $(first_line) == ${c#*|} ]] || fail "analyze ${c%%|*}: verdict '$(first_line)'"
done

# --png: 14 + one column per 256 frames of 1024 wide, 12 + 8 per bin of 18.5-20.5 kHz + 8 high;
# beyond 8000 columns the step doubles (50 s: 4686 columns of 512 frames).
run 0 "$hov" encode ABCDEF long.wav --seconds 50
for c in "ABCDEF 948 364" "r44100 872 396" "long 4700 364"; do
  set -- $c
  run 0 "$hov" analyze "$1.wav" --png "$1.png"
  [[ $(file -b "$1.png") == "PNG image data, $2 x $3, 8-bit/color RGB, non-interlaced" ]] ||
    fail "--png $1: not a PNG of $2 x $3: $(file -b "$1.png")"
done
sox ABCDEF.wav tiny.wav trim 0 1000s
run 1 "$hov" analyze tiny.wav --png tiny.png
one_line "--png of 1000 frames"
[ ! -e tiny.png ] || fail "--png of 1000 frames left a file"

# analyze shows the robust receiver's last search.
run 0 "$hov" analyze --receiver robust r44100.wav
[[ $(first_line) == "tones "*"; the robust receiver heard ABCDEF at "*" s (clock offset "*" ppm, "* ]] ||
  fail "analyze --receiver robust: verdict '$(first_line)'"
grep -q '^  summed  *11  *8  *15  *0  *0  *1  *0  *5  *4  *10$' out.txt ||
  fail "analyze --receiver robust: summed tones: $(grep summed out.txt)"

# Bad command lines (empty names included) make nothing.
while read -r line; do
  eval "run 64 \"\$hov\" $line"
done << 'EOF2'
decode
decode --buffer-frames 0 ABCDEF.wav
decode --receiver fast ABCDEF.wav
encode ABCDEF ""
encode ABCDEF x.wav --then HELLOS
send ABCDEF --then ABCDEG
loopback ABCDEF --timeout-ms x
receive --receiver other
record x.wav --seconds 0
analyze ABCDEF.wav --png ""
analyze ABCDEF.wav --png
analyze ABCDEF.wav extra
EOF2
[ ! -e x.wav ] || fail "a bad command line created x.wav"

finish
