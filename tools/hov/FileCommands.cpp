#include "tools/hov/FileCommands.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "hov/modem.h"
#include "tools/hov/AudioFiles.h"
#include "tools/hov/OutputFile.h"

namespace {
// The playback device asks the sender for one second of samples at a time.
constexpr int32_t kPlaybackBufferSeconds = 1;

void PrintDecodeResult(const DecodeOptions& options, const hov_modem_result& result) {
  // A decoder still listening at the end of the file has timed out, as the library's would.
  const int code = result.code == HOV_MODEM_RESULT_LISTENING ? -2 : result.code;
  if (options.json) {
    if (code == -2) {
      std::printf("{\"code\":%d,\"key\":\"\",\"frame\":null}\n", code);
    } else {
      std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":%lld}\n", code, result.key,
                  static_cast<long long>(result.frame));
    }
  } else if (code == 0) {
    std::printf("%s\n", result.key);
  } else {
    std::fprintf(
        stderr, "hov decode: %s\n",
        code == -2 ? "no share key heard (time-out)" : "the packet heard is not a share key");
  }
}

bool BadKey(const std::string& key) {
  hov_modem_encoder* probe = nullptr;
  if (hov_modem_encoder_create(key.c_str(), &probe) == HOV_MODEM_OK) {
    hov_modem_encoder_destroy(probe);
    return false;
  }
  std::fprintf(stderr, "hov encode: '%s' is not a share key (six letters A-Z)\n", key.c_str());
  return true;
}
}  // namespace

int ReceiverChoice(const std::string& name) {
  int receiver = HOV_MODEM_RECEIVER_DESIGN;
  return hov_modem_receiver_from_name(name.c_str(), &receiver) == HOV_MODEM_OK ? receiver : -1;
}

int RunEncode(const EncodeOptions& options) {
  if (BadKey(options.key) || (!options.thenKey.empty() && BadKey(options.thenKey))) {
    return 2;
  }
  hov_modem_format format;
  hov_modem_get_format(&format);
  const int32_t rate = format.sample_rate;
  const int64_t buffer = static_cast<int64_t>(kPlaybackBufferSeconds) * rate;
  const int64_t total = std::llround(options.seconds * rate);
  // A key change reaches the sound at the next buffer the device asks for.
  int64_t changeAt = -1;
  if (!options.thenKey.empty()) {
    const int64_t at = std::llround(options.at * rate);
    changeAt = (at + buffer - 1) / buffer * buffer;
    if (changeAt >= total) {
      std::fprintf(stderr,
                   "hov encode: a change at %g s takes effect at %lld s, not before the end of "
                   "the %g s signal\n",
                   options.at, static_cast<long long>(changeAt / rate), options.seconds);
      return 64;
    }
  }

  std::string error;
  CheckedFile file;
  if (!file.Open(options.outPath, &error)) {
    std::fprintf(stderr, "hov encode: %s\n", error.c_str());
    return 1;
  }
  const std::vector<uint8_t> header = WavHeader(rate, total);
  bool written = file.Write(header.data(), header.size(), &error);
  // The signal exactly as the sender makes it, read a buffer at a time as the device reads it.
  hov_modem_encoder* encoder = nullptr;
  hov_modem_encoder_create(options.key.c_str(), &encoder);
  std::vector<int16_t> samples(static_cast<size_t>(buffer));
  for (int64_t done = 0; written && done < total; done += buffer) {
    if (done == changeAt) {
      hov_modem_encoder_update(encoder, options.thenKey.c_str());
    }
    hov_modem_encoder_read_s16(encoder, samples.data(), samples.size());
    // The samples as little-endian bytes, whatever the machine's order.
    const size_t n = static_cast<size_t>(std::min(total - done, buffer));
    std::vector<uint8_t> bytes(2 * n);
    for (size_t i = 0; i < n; ++i) {
      const uint16_t value = static_cast<uint16_t>(samples[i]);
      bytes[2 * i] = static_cast<uint8_t>(value & 0xff);
      bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    }
    written = file.Write(bytes.data(), bytes.size(), &error);
  }
  hov_modem_encoder_destroy(encoder);
  if (!written || !file.Finish(&error)) {
    std::fprintf(stderr, "hov encode: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int RunDecode(const DecodeOptions& options) {
  SoundFileReader file;
  std::string error;
  if (!file.Open(options.inPath, &error)) {
    std::fprintf(stderr, "hov decode: %s\n", error.c_str());
    return 1;
  }
  hov_modem_decoder* decoder = nullptr;
  const int made = hov_modem_decoder_create(file.Rate(), options.receiver, &decoder);
  if (made != HOV_MODEM_OK) {
    std::fprintf(stderr, "hov decode: %s\n",
                 made == HOV_MODEM_ERROR_UNAVAILABLE
                     ? "the robust receiver is not part of this build"
                     : "the file's sample rate is outside 8000 to 384000 Hz");
    return made == HOV_MODEM_ERROR_UNAVAILABLE ? 64 : 1;
  }
  const int64_t frames = options.bufferFrames;
  std::vector<int16_t> pcm(static_cast<size_t>(frames));
  std::vector<float> floats(static_cast<size_t>(frames));
  hov_modem_result result = {};
  hov_modem_decoder_result(decoder, &result);
  while (result.code == HOV_MODEM_RESULT_LISTENING) {
    int64_t n;
    if (file.Pcm16()) {
      n = file.ReadPcm16(pcm.data(), frames);
      hov_modem_decoder_write_s16(decoder, pcm.data(), static_cast<size_t>(n), &result);
    } else {
      n = file.ReadFloat(floats.data(), frames);
      hov_modem_decoder_write_f32(decoder, floats.data(), static_cast<size_t>(n), &result);
    }
    if (n <= 0) {
      break;
    }
  }
  hov_modem_decoder_destroy(decoder);
  PrintDecodeResult(options, result);
  return result.code == HOV_MODEM_RESULT_KEY         ? 0
         : result.code == HOV_MODEM_RESULT_LISTENING ? 2
                                                     : 3;
}
