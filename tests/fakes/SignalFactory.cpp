#include "tests/fakes/SignalFactory.h"

#include <algorithm>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/ToneBank.h"

namespace {

constexpr float kSampleRate = 48000.0f;
constexpr int32_t kChunk = 4096;

// Renders from a bank that is set up; converts as the send path does.
std::vector<int16_t> RenderFromBank(ToneBank* bank, size_t samples) {
  std::vector<int16_t> out(samples);
  float chunk[kChunk];
  size_t done = 0;
  while (done < samples) {
    int32_t count = static_cast<int32_t>(std::min<size_t>(kChunk, samples - done));
    ToneBank::Render(bank, chunk, count);
    for (int32_t i = 0; i < count; ++i) {
      out[done + static_cast<size_t>(i)] = FloatToPcm16(chunk[i]);
    }
    done += static_cast<size_t>(count);
  }
  return out;
}

}  // namespace

std::vector<int16_t> RenderKeySignal(const std::string& shareKey, size_t samples) {
  std::string encoded;
  if (!ShareKeyEncoder::Encode(shareKey, &encoded)) {
    return {};
  }
  return RenderEncodedSignal(encoded, samples);
}

std::vector<int16_t> RenderEncodedSignal(const std::string& encodedKey, size_t samples) {
  ModemParams* params = CreateModemParams(kSampleRate, static_cast<uint32_t>(encodedKey.size()));
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  ToneBank::SetPayload(bank, encodedKey.c_str());
  std::vector<int16_t> out = RenderFromBank(bank, samples);
  ToneBank::Free(bank);
  DestroyModemParams(params);
  return out;
}

std::vector<int16_t> RenderToneCycle(const std::vector<int32_t>& tones, size_t samples) {
  uint32_t payloadBytes = static_cast<uint32_t>((tones.size() - 2) / 2);
  ModemParams* params = CreateModemParams(kSampleRate, payloadBytes);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  for (int32_t i = 0; i < bank->sequenceLength; ++i) {
    bank->sequence[i] = tones[static_cast<size_t>(i)];
  }
  std::vector<int16_t> out = RenderFromBank(bank, samples);
  ToneBank::Free(bank);
  DestroyModemParams(params);
  return out;
}
