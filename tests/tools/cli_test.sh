#!/usr/bin/env bash
# The file commands of the hov tool: encode, decode, their outputs and exit statuses.
# Usage: cli_test.sh PATH/TO/hov
set -uo pipefail

hov=${1:?usage: $0 PATH/TO/hov}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# run EXPECTED_STATUS CMD...: runs CMD with stdout in $out and stderr in $err.
run() {
  local expected=$1 status
  shift
  "$@" > out.txt 2> err.txt
  status=$?
  out=$(cat out.txt)
  err=$(cat err.txt)
  if [ "$status" != "$expected" ]; then
    fail "$* exited $status, expected $expected (stderr: $err)"
  fi
}

expect_out() {  # what, expected stdout
  [ "$out" = "$2" ] || fail "$1: stdout '$out', expected '$2'"
}

lines() { printf '%s' "$1" | grep -c '' || true; }

# Encode, then decode: the key comes back; the sink accepts in the 480-frame buffer that brings
# frame 54657 (the second decoder's window end), i.e. after 54720 frames.
for key in AAAAAA ZZZZZZ ABCDEF HELLOS; do
  run 0 "$hov" encode "$key" "$key.wav"
  [ "$(stat -c %s "$key.wav")" = $((44 + 5 * 48000 * 2)) ] || fail "$key.wav is not 5 s of mono 16-bit"
  run 0 "$hov" decode "$key.wav"
  expect_out "decode $key" "$key"
  [ -z "$err" ] || fail "decode $key wrote to stderr without --verbose: $err"
  run 0 "$hov" decode --json "$key.wav"
  expect_out "decode --json $key" "{\"code\":0,\"key\":\"$key\",\"frame\":54720}"
done

# HELLOS is the key whose encoded key ends in a byte with low nibble 0 (65 89 52 96): three
# tone-0 symbols in a row per packet, of which the last two are the separator. Checked here
# from the codec's rule, so the case above cannot silently stop covering it.
key=HELLOS
v=0
for ((i = 0; i < 6; i++)); do
  c=$(printf '%d' "'${key:i:1}")
  v=$((v * 26 + c - 65))
done
t=$v
for ((i = 0; i < 9; i++)); do t=$(((t >> 3) ^ v)); done
w=$((v * 8 + (t & 7)))
[ $(((w % 240 + 16) % 16)) = 0 ] || fail "HELLOS's last encoded byte does not end in nibble 0"

# The file's own format: stereo FLAC, first channel read; other buffer sizes.
sox ABCDEF.wav -c 2 stereo.flac
run 0 "$hov" decode --json stereo.flac
expect_out "stereo flac" '{"code":0,"key":"ABCDEF","frame":54720}'
run 0 "$hov" decode --json --buffer-frames 1 ABCDEF.wav
expect_out "1-frame buffers" '{"code":0,"key":"ABCDEF","frame":54657}'
run 0 "$hov" decode --json --buffer-frames 4096 ABCDEF.wav
expect_out "4096-frame buffers" '{"code":0,"key":"ABCDEF","frame":57344}'

# A stream that starts mid-packet (0.3 s is 3.5 symbols in): the windows still hold a whole
# period, so the key and the acceptance frame are the same.
sox ABCDEF.wav mid.wav trim 0.3
run 0 "$hov" decode --json mid.wav
expect_out "mid-packet start" '{"code":0,"key":"ABCDEF","frame":54720}'

# Resampled to 44100 Hz, the decoders build their tone plan for 44100 Hz: bins 43.07 Hz wide
# from 444, while the sender's tones stay 46.875 Hz apart. Sender tone i lands near receiver
# bin 444.08 + 1.088 i, so tones 0 to 4 read as themselves, 5, 8, 10 and 11 read one higher,
# and 15 (above the last bin) reads as 15; symbols are also 3763 frames long instead of 4096.
# AAAAAA (tones 1 and 0 only) therefore still decodes; ABCDEF (1 0 5 4 10 11 8 15) is read as
# 1 0 6 4 11 12 9 15, which is ABISIR and passes the 3-bit check, and two decoders agree on
# it: the wrong key is accepted. ZZZZZZ gives no agreement and times out.
# (The exact result depends on sox's resampler; these are Debian 12's.)
for key in ABCDEF AAAAAA ZZZZZZ; do sox "$key.wav" "r44-$key.wav" rate 44100 2> /dev/null; done
run 0 "$hov" decode --json r44-ABCDEF.wav
expect_out "44100 Hz ABCDEF" '{"code":0,"key":"ABISIR","frame":112320}'
run 0 "$hov" decode r44-AAAAAA.wav
expect_out "44100 Hz AAAAAA" "AAAAAA"
run 2 "$hov" decode --json r44-ZZZZZZ.wav
expect_out "44100 Hz ZZZZZZ" '{"code":-2,"key":"","frame":null}'

# Silence and white noise: no acceptance, a time-out.
sox -n -r 48000 -c 1 -b 16 silence.wav trim 0 5
sox -n -r 48000 -c 1 -b 16 noise.wav synth 5 whitenoise
for f in silence noise; do
  run 2 "$hov" decode --json "$f.wav"
  expect_out "$f" '{"code":-2,"key":"","frame":null}'
  run 2 "$hov" decode "$f.wav"
  [ -z "$out" ] || fail "$f: time-out printed on stdout: $out"
  [ "$(lines "$err")" = 1 ] || fail "$f: expected one line on stderr, got: $err"
done

# A bad key: one line naming the key, status 2, no file created, an existing one untouched.
for key in abcdef ABCDE ABCDEFG ABC1EF "ABC EF"; do
  run 2 "$hov" encode "$key" bad.wav
  [ ! -e bad.wav ] || fail "encode '$key' created a file"
  [ "$(lines "$err")" = 1 ] || fail "encode '$key': expected one line on stderr: $err"
  [[ $err == *"'$key'"* ]] || fail "encode '$key': the error does not name the key: $err"
done
cp ABCDEF.wav keep.wav
run 2 "$hov" encode abcdef keep.wav
cmp -s ABCDEF.wav keep.wav || fail "encode with a bad key changed an existing file"

# Files that cannot be read or written: status 1, one line with the reason.
run 1 "$hov" decode missing.wav
[ "$(lines "$err")" = 1 ] || fail "missing file: expected one line on stderr: $err"
[[ $err == *"No such file"* ]] || fail "missing file: no reason given: $err"
echo "not audio" > text.wav
run 1 "$hov" decode text.wav
[ "$(lines "$err")" = 1 ] || fail "text file: expected one line on stderr: $err"
run 1 "$hov" encode ABCDEF no-such-dir/out.wav
[ "$(lines "$err")" = 1 ] || fail "unwritable output: expected one line on stderr: $err"

# --seconds, and --verbose keeping the library's lines on stderr.
run 0 "$hov" encode --seconds 1.5 ABCDEF short.wav
[ "$(stat -c %s short.wav)" = $((44 + 72000 * 2)) ] || fail "--seconds 1.5 is not 72000 frames"
# Acceptance needs the second decoder's vote, which comes with frame 54657 (its delay of 9600
# plus the 45057th frame of its window): a file one frame shorter times out.
sox ABCDEF.wav cut.wav trim 0 54656s
run 2 "$hov" decode --json cut.wav
expect_out "54656 frames" '{"code":-2,"key":"","frame":null}'
sox ABCDEF.wav cut.wav trim 0 54657s
run 0 "$hov" decode --json cut.wav
expect_out "54657 frames" '{"code":0,"key":"ABCDEF","frame":54657}'
run 0 "$hov" decode --verbose ABCDEF.wav
expect_out "decode --verbose" "ABCDEF"
[[ $err == *"[hov] Get a Valid Share Key"* ]] || fail "--verbose: no library lines on stderr"
run 0 "$hov" encode --verbose ABCDEF v.wav
[ -z "$out" ] || fail "encode --verbose wrote to stdout: $out"
[[ $err == *"[hov] ShareKeyEncoder encode share key: ABCDEF"* ]] || fail "encode --verbose: $err"

# encode --then: the sender's key change. The device asks for a second of samples at a time, so
# a change asked for at 1.5 s starts at 2 s: the first two seconds are those of the key alone,
# then the old key fades out and the new one in over half a second.
run 0 "$hov" encode ABCDEF change.wav --seconds 12 --then HELLOS --at 1.5
[ "$(stat -c %s change.wav)" = $((44 + 12 * 48000 * 2)) ] || fail "--then: not 12 s long"
cmp -s -i 44 -n $((2 * 48000 * 2)) ABCDEF.wav change.wav || fail "--then: the first 2 s changed"
cmp -s -i 44 -n $((2 * 48000 * 2 + 100 * 2)) ABCDEF.wav change.wav &&
  fail "--then: nothing changes at 2 s"
run 0 "$hov" decode change.wav
expect_out "--then: first key" ABCDEF
# From T + 5.5 s on (T the time asked for), and from the end of the cross-fade, the new key.
for cut in 7.0 2.5; do
  sox change.wav later.wav trim "$cut"
  run 0 "$hov" decode --json later.wav
  expect_out "--then: after $cut s" '{"code":0,"key":"HELLOS","frame":54720}'
done
run 0 "$hov" encode ABCDEF change0.wav --seconds 3 --then HELLOS --at 0
run 0 "$hov" decode change0.wav
expect_out "--then at 0" HELLOS
run 2 "$hov" encode ABCDEF bad.wav --then hellos --at 1
[[ $err == *"'hellos'"* ]] || fail "encode --then hellos: the error does not name the key: $err"
[ ! -e bad.wav ] || fail "encode --then hellos created a file"
# A change that would start at the end of the signal or later is refused.
run 64 "$hov" encode ABCDEF bad.wav --seconds 5 --then HELLOS --at 4.2
[ "$(lines "$err")" = 1 ] || fail "--at past the end: expected one line on stderr: $err"
[ ! -e bad.wav ] || fail "--at past the end created a file"

# analyze: the verdict first, then the details. A clean signal: both first decoders agree when
# the second one's window ends (1.14 s), as decode finds.
run 0 "$hov" analyze ABCDEF.wav
verdict=$(head -n 1 out.txt)
if [[ $verdict =~ ^tones\ ([0-9]+)\ dB\ above\ the\ band\ noise\;\ decoders\ 1\ and\ 2\ agree\ on\ ABCDEF\ at\ 1\.14\ s$ ]]; then
  clean_db=${BASH_REMATCH[1]}
  [ "$clean_db" -ge 30 ] || fail "analyze clean: tones only $clean_db dB above the noise"
else
  fail "analyze clean: verdict '$verdict'"
  clean_db=0
fi
[ -z "$err" ] || fail "analyze wrote to stderr: $err"
grep -q '^ *1  *0\.00- *0\.94 .* 1 0 5 4 10 11 8 15 0 0 1  *16 84 171 143  *ABCDEF  vote 1 at 0\.94 s$' \
  out.txt || fail "analyze clean: decoder 1's line is wrong: $(grep '^ *1  ' out.txt)"
# In JSON: decoder 1 reads the packet from its start; the acceptance is decode's frame.
run 0 "$hov" analyze --json ABCDEF.wav
[[ $out == *'"accepted":{"key":"ABCDEF","decoders":[1,2],"frame":54720,"seconds":1.140}}' ]] ||
  fail "analyze --json: acceptance: ${out: -120}"
[[ $out == *'"tones":[1,0,5,4,10,11,8,15,0,0,1],"packet":[16,84,171,143],"key":"ABCDEF","late":false,"frame":45120,"votes":1,"accepting":false}'* ]] ||
  fail "analyze --json: decoder 1"
[[ $out == *'"number":10,"delay":86400,"complete":true,'* ]] || fail "analyze --json: decoder 10"
[ "$(printf '%s' "$out" | grep -o '"t":' | wc -l)" = 50 ] || fail "analyze --json: not 50 rows"
# The same signal in white noise: the tones stand lower, and the vote comes later; analyze's
# acceptance is still decode's. Noise alone: no tones, no agreement.
sox -R -n -r 48000 -c 1 -b 16 whitenoise.wav synth 5 whitenoise vol 0.5
sox -R -m -v 0.05 ABCDEF.wav -v 1 whitenoise.wav noisy.wav
run 0 "$hov" decode --json noisy.wav
noisy_frame=$(printf '%s' "$out" | sed -n 's/.*"frame":\([0-9]*\)}$/\1/p')
run 0 "$hov" analyze noisy.wav
verdict=$(head -n 1 out.txt)
if [[ $verdict =~ ^tones\ ([0-9]+)\ dB\ above\ the\ band\ noise\;\ decoders\ [0-9]+\ and\ [0-9]+\ agree\ on\ ABCDEF\ at\ ([0-9.]+)\ s$ ]]; then
  [ "${BASH_REMATCH[1]}" -lt "$clean_db" ] || fail "analyze noisy: tones not lower than clean"
  [ "${BASH_REMATCH[2]}" = "$(awk "BEGIN { printf \"%.2f\", $noisy_frame / 48000 }")" ] ||
    fail "analyze noisy: accepted at ${BASH_REMATCH[2]} s, decode at frame $noisy_frame"
else
  fail "analyze noisy: verdict '$verdict'"
fi
run 0 "$hov" analyze whitenoise.wav
[[ $(head -n 1 out.txt) == "no tones above the band noise ("*"); no two decoders agree ("* ]] ||
  fail "analyze white noise: verdict '$(head -n 1 out.txt)'"
# Silence; sound with the band filtered away (as a microphone or speaker that cuts ultrasound
# leaves it); a sample rate the receiver does not capture at; a file too short for two votes.
run 0 "$hov" analyze silence.wav
[[ $(head -n 1 out.txt) == "no energy between 19.1 and 19.9 kHz: "* ]] ||
  fail "analyze silence: verdict '$(head -n 1 out.txt)'"
sox -R -n -r 48000 -c 1 -b 16 pink.wav synth 5 pinknoise vol 0.3
sox -R -m ABCDEF.wav pink.wav -b 16 cutoff.wav sinc -16000 2> /dev/null
run 0 "$hov" analyze cutoff.wav
[ "$(head -n 1 out.txt)" = "no energy between 19.1 and 19.9 kHz: the speaker or microphone cuts ultrasound" ] ||
  fail "analyze low-passed: verdict '$(head -n 1 out.txt)'"
run 0 "$hov" analyze r44-ABCDEF.wav
[[ $(head -n 1 out.txt) == "sample rate 44100 Hz: the receiver needs 48000 Hz"* ]] ||
  fail "analyze 44100 Hz: verdict '$(head -n 1 out.txt)'"
run 0 "$hov" analyze --json r44-ABCDEF.wav
[[ $out == *'"accepted":{"key":"ABISIR","decoders":[4,8],"frame":112320,'* ]] ||
  fail "analyze 44100 Hz: not decode's acceptance: ${out: -100}"
sox ABCDEF.wav short.wav trim 0 54656s
run 0 "$hov" analyze short.wav
[ "$(head -n 1 out.txt)" = "the file is 1.14 s long: the receiver needs 1.14 s to accept a key" ] ||
  fail "analyze 54656 frames: verdict '$(head -n 1 out.txt)'"

# --png: a valid picture, 14 + one column per 256 frames of 1024 wide (948 for 5 s), 12 + 8 per
# bin of 18.5-20.5 kHz (43 bins) + 8 high.
png_size() {  # prints WIDTH HEIGHT from a PNG file's header, nothing when it is not a PNG
  [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || return 0
  [ "$(dd if="$1" bs=1 skip=12 count=4 2> /dev/null)" = IHDR ] || return 0
  echo $((16#$(od -An -tx1 -j16 -N4 "$1" | tr -d ' \n'))) \
    $((16#$(od -An -tx1 -j20 -N4 "$1" | tr -d ' \n')))
}
run 0 "$hov" analyze ABCDEF.wav --png clean.png
[ "$(png_size clean.png)" = "948 364" ] || fail "--png: size '$(png_size clean.png)', expected 948 364"
# Every chunk's checksum, the image data's length, the end chunk.
if command -v python3 > /dev/null; then
  python3 - clean.png << 'PYEOF' || fail "--png: not a valid PNG"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
pos, idat, size = 8, b"", None
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body, crc = data[pos + 8:pos + 8 + n], struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])[0]
    assert zlib.crc32(kind + body) == crc, kind
    if kind == b"IHDR":
        size = struct.unpack(">II", body[:8])
    idat += body if kind == b"IDAT" else b""
    pos += 12 + n
assert kind == b"IEND"
assert len(zlib.decompress(idat)) == size[1] * (1 + 3 * size[0])
PYEOF
fi
run 0 "$hov" analyze noisy.wav --png noisy.png --json
[ "$(png_size noisy.png)" = "948 364" ] || fail "--png noisy: size '$(png_size noisy.png)'"
run 0 "$hov" analyze silence.wav --png silence.png
[ "$(png_size silence.png)" = "948 364" ] || fail "--png silence: size '$(png_size silence.png)'"
# At 44100 Hz the picture holds 47 bins of 43.07 Hz, and 5 s are 858 columns.
run 0 "$hov" analyze r44-ABCDEF.wav --png r44.png
[ "$(png_size r44.png)" = "872 396" ] || fail "--png 44100 Hz: size '$(png_size r44.png)'"
# Beyond 8000 columns the step doubles: 50 s are 4686 columns of 512 frames.
run 0 "$hov" encode ABCDEF long.wav --seconds 50
run 0 "$hov" analyze long.wav --png long.png
[ "$(png_size long.png)" = "4700 364" ] || fail "--png 50 s: size '$(png_size long.png)'"
run 1 "$hov" analyze ABCDEF.wav --png no-such-dir/x.png
[ "$(lines "$err")" = 1 ] || fail "--png unwritable: expected one line on stderr: $err"
[[ $err == *no-such-dir/x.png* ]] || fail "--png unwritable: the error does not name the file"
sox ABCDEF.wav tiny.wav trim 0 1000s
run 1 "$hov" analyze tiny.wav --png tiny.png
[ "$(lines "$err")" = 1 ] || fail "--png of 1000 frames: expected one line on stderr: $err"
run 1 "$hov" analyze missing.wav
[ "$(lines "$err")" = 1 ] || fail "analyze missing file: expected one line on stderr: $err"

# Help on every command; a bad command line.
for cmd in "" encode decode send receive loopback record analyze; do
  run 0 "$hov" $cmd --help
  [[ $out == *Usage:* ]] || fail "hov $cmd --help printed no usage"
done
run 0 "$hov" --help
[[ $out == *"Exit status:"* ]] || fail "hov --help does not list the exit statuses"
run 64 "$hov"
run 64 "$hov" decode
run 64 "$hov" decode --buffer-frames 0 ABCDEF.wav
run 64 "$hov" encode --seconds -1 ABCDEF x.wav
run 64 "$hov" send ABCDEF --then ABCDEG
run 64 "$hov" loopback
run 64 "$hov" loopback ABCDEF --timeout-ms x
run 64 "$hov" encode ABCDEF x.wav --then HELLOS
run 64 "$hov" encode ABCDEF x.wav --at 1
run 64 "$hov" encode ABCDEF x.wav --then HELLOS --at -1
run 64 "$hov" record
run 64 "$hov" record x.wav --seconds 0
run 64 "$hov" record x.wav --seconds x
run 64 "$hov" analyze
run 64 "$hov" analyze ABCDEF.wav --buffer-frames 0
run 64 "$hov" analyze ABCDEF.wav --png
run 64 "$hov" analyze ABCDEF.wav extra
[ ! -e x.wav ] || fail "a bad command line created x.wav"

if [ "$failures" != 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all passed"
