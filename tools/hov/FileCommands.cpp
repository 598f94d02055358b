#include "tools/hov/FileCommands.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "modem/ToneBank.h"
#include "receive/FileWavSink.h"
#include "receive/HovSinkConcurrent.h"
#include "send/HovSource.h"
#include "tools/hov/CoreLog.h"

namespace {
constexpr int32_t kSendRate = 48000;
constexpr uint32_t kEncodedKeyBytes = 4;
// The playback device asks the sender for one second of samples at a time.
constexpr int32_t kPlaybackBuffer = 48000;
constexpr int32_t kPacketCapacity = 1024;

bool EncodeKey(const std::string& key, std::string* encoded) {
  if (ShareKeyEncoder::Encode(key, encoded)) {
    return true;
  }
  std::fprintf(stderr, "hov encode: '%s' is not a share key (six letters A-Z)\n", key.c_str());
  return false;
}

// The packet the sink accepted, decoded as the receive session does: 0 with the key, or -3.
int DecodeAccepted(HovSinkConcurrent& sink, std::string* key) {
  char packet[kPacketCapacity];
  int32_t n = sink.GetMessage(packet, kPacketCapacity);
  packet[n] = '\0';
  return ShareKeyEncoder::Decode(std::string(packet), key) ? 0 : -3;
}

void PrintDecodeResult(const DecodeOptions& options, int code, const std::string& key,
                       long long frame) {
  if (options.json) {
    if (code == -2) {
      std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":null}\n", code, key.c_str());
    } else {
      std::printf("{\"code\":%d,\"key\":\"%s\",\"frame\":%lld}\n", code, key.c_str(), frame);
    }
  } else if (code == 0) {
    std::printf("%s\n", key.c_str());
  } else {
    std::fprintf(
        stderr, "hov decode: %s\n",
        code == -2 ? "no share key heard (time-out)" : "the packet heard is not a share key");
  }
}
}  // namespace

int RunEncode(const EncodeOptions& options) {
  RouteCoreLog(options.verbose);
  std::string encoded;
  std::string thenEncoded;
  if (!EncodeKey(options.key, &encoded) ||
      (!options.thenKey.empty() && !EncodeKey(options.thenKey, &thenEncoded))) {
    return 2;
  }
  const long long total = std::llround(options.seconds * kSendRate);
  // A key change reaches the sound at the next buffer the device asks for.
  long long changeAt = -1;
  if (!options.thenKey.empty()) {
    long long at = std::llround(options.at * kSendRate);
    changeAt = (at + kPlaybackBuffer - 1) / kPlaybackBuffer * kPlaybackBuffer;
    if (changeAt >= total) {
      std::fprintf(stderr,
                   "hov encode: a change at %g s takes effect at %lld s, not before the end of "
                   "the %g s signal\n",
                   options.at, changeAt / kSendRate, options.seconds);
      return 64;
    }
  }
  // The sink writes silently or not at all; find out first whether the file can be written.
  std::FILE* probe = std::fopen(options.outPath.c_str(), "ab");
  if (probe == nullptr) {
    std::fprintf(stderr, "hov encode: cannot write %s: %s\n", options.outPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fclose(probe);

  // The signal exactly as the sender makes it: its sample source, read a buffer at a time as
  // the playback device reads it.
  HovSource source;
  source.Init(encoded.c_str());
  FileWavSink sink(options.outPath);
  sink.Open(1, kSendRate, 16);
  std::vector<int16_t> buffer(kPlaybackBuffer);
  for (long long written = 0; written < total; written += kPlaybackBuffer) {
    if (written == changeAt) {
      source.Update(thenEncoded.c_str());
    }
    source.Read(buffer.data(), kPlaybackBuffer);
    sink.Write(buffer.data(),
               static_cast<int32_t>(std::min<long long>(total - written, kPlaybackBuffer)));
  }
  sink.Close();
  source.Uninit();
  return 0;
}

int RunDecode(const DecodeOptions& options) {
  RouteCoreLog(options.verbose);
  SF_INFO info = {};
  SNDFILE* file = sf_open(options.inPath.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "hov decode: cannot read %s: %s\n", options.inPath.c_str(),
                 sf_strerror(nullptr));
    return 1;
  }
  const int32_t bufferFrames = options.bufferFrames;
  std::vector<float> samples(static_cast<size_t>(bufferFrames) * info.channels);
  std::vector<int16_t> pcm(bufferFrames);
  HovSinkConcurrent sink(kEncodedKeyBytes);
  sink.Open(1, static_cast<uint32_t>(info.samplerate), 16);
  long long written = 0;
  bool complete = false;
  sf_count_t n;
  while (!complete && (n = sf_readf_float(file, samples.data(), bufferFrames)) > 0) {
    // The first channel, converted as captured samples are: times 32767, truncated. Values of a
    // floating-point file beyond full scale are held at full scale.
    for (sf_count_t i = 0; i < n; ++i) {
      float s = std::clamp(samples[static_cast<size_t>(i) * info.channels], -1.0f, 1.0f);
      pcm[i] = FloatToPcm16(s);
    }
    sink.Write(pcm.data(), static_cast<int32_t>(n));
    written += n;
    complete = sink.IsComplete();
  }
  sf_close(file);
  sink.Close();

  std::string key;
  int code = complete ? DecodeAccepted(sink, &key) : -2;
  PrintDecodeResult(options, code, key, written);
  return -code;
}
