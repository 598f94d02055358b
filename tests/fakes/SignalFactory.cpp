#include "tests/fakes/SignalFactory.h"

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/ToneBank.h"

namespace {

// Renders samples from a full-amplitude bank whose packet setUp(bank) fills; converts as the
// send path does.
template <class SetUp>
std::vector<int16_t> Render(uint32_t payloadBytes, size_t samples, SetUp setUp) {
  ModemParams* params = CreateModemParams(48000.0f, payloadBytes);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  setUp(bank);
  std::vector<float> rendered(samples);
  ToneBank::Render(bank, rendered.data(), static_cast<int32_t>(samples));
  std::vector<int16_t> out;
  for (float sample : rendered) {
    out.push_back(FloatToPcm16(sample));
  }
  ToneBank::Free(bank);
  DestroyModemParams(params);
  return out;
}

}  // namespace

std::vector<int16_t> RenderKeySignal(const std::string& shareKey, size_t samples) {
  std::string encoded;
  return ShareKeyEncoder::Encode(shareKey, &encoded) ? RenderEncodedSignal(encoded, samples)
                                                     : std::vector<int16_t>{};
}

std::vector<int16_t> RenderEncodedSignal(const std::string& encodedKey, size_t samples) {
  return Render(static_cast<uint32_t>(encodedKey.size()), samples,
                [&](ToneBank* bank) { ToneBank::SetPayload(bank, encodedKey.c_str()); });
}

std::vector<int16_t> RenderToneCycle(const std::vector<int32_t>& tones, size_t samples) {
  return Render(static_cast<uint32_t>((tones.size() - 2) / 2), samples, [&](ToneBank* bank) {
    for (int32_t i = 0; i < bank->sequenceLength; ++i) {
      bank->sequence[i] = tones[static_cast<size_t>(i)];
    }
  });
}
