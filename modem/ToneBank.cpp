#include "modem/ToneBank.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr double kTwoPi = 2.0 * kPi;
}  // namespace

void TukeyWindow(float* window, int32_t n, double alpha) {
  const double r = 2.0 / static_cast<double>(n - 1) / alpha;
  // The taper covers alpha (n - 1) / 2 samples at each end, rounded up.
  const int32_t taper = static_cast<int32_t>(std::ceil(1.0 / r));
  const int32_t rising = std::min(taper, n);
  for (int32_t i = 0; i < rising; ++i) {
    window[i] = static_cast<float>(0.5 * (std::cos(kPi * (i * r - 1.0)) + 1.0));
  }
  for (int32_t i = taper; i < n - taper; ++i) {
    window[i] = 1.0f;
  }
  for (int32_t i = std::max(taper, n - taper); i < n; ++i) {
    window[i] = window[n - 1 - i];
  }
}

int16_t FloatToPcm16(float sample) {
  const int32_t value = static_cast<int32_t>(sample * 32767.0f);
  return static_cast<int16_t>(static_cast<uint16_t>(value & 0xffff));
}

ToneBank* ToneBank::Create(const ModemParams* params) {
  ToneBank* bank = new ToneBank();
  bank->params = *params;
  bank->sequenceLength = static_cast<int32_t>(2 * params->payloadBytes + 2);
  bank->sequence = new int32_t[bank->sequenceLength]();
  bank->symbolIndex = 0;
  bank->sampleIndex = 0;

  const int32_t toneCount = bank->params.toneCount;
  const int32_t length = bank->params.symbolSamples;
  bank->bursts = new float*[toneCount];
  float* window = new float[length];
  TukeyWindow(window, length, bank->params.taperRatio);
  // Every burst starts at sine phase 0; the window takes it to zero at both ends, so bursts
  // join without a click whatever tones follow one another.
  const double omega = kTwoPi / static_cast<double>(bank->params.sampleRate);
  for (int32_t t = 0; t < toneCount; ++t) {
    float* burst = new float[length];
    const double frequency = bank->params.toneFrequencies[t];
    for (int32_t i = 0; i < length; ++i) {
      burst[i] =
          static_cast<float>(std::sin(omega * frequency * static_cast<double>(i))) * window[i];
    }
    bank->bursts[t] = burst;
  }
  delete[] window;
  return bank;
}

int32_t ToneBank::SetPayload(ToneBank* bank, const char* payload) {
  if (payload == nullptr || std::strlen(payload) != bank->params.payloadBytes) {
    return 1;
  }
  std::fill(bank->sequence, bank->sequence + bank->sequenceLength, 0);
  // High nibble first; the last two positions stay tone 0, the separator.
  for (uint32_t k = 0; k < bank->params.payloadBytes; ++k) {
    const uint8_t byte = static_cast<uint8_t>(payload[k]);
    bank->sequence[2 * k] = byte >> 4;
    bank->sequence[2 * k + 1] = byte & 15;
  }
  return 0;
}

void ToneBank::Render(ToneBank* bank, float* out, int32_t count) {
  const int32_t length = bank->params.symbolSamples;
  const float amplitude = bank->params.amplitude;
  while (count > 0) {
    if (bank->sampleIndex >= length) {
      bank->sampleIndex = 0;
      if (++bank->symbolIndex >= bank->sequenceLength) {
        bank->symbolIndex = 0;
      }
    }
    // Copy the rest of the current burst, or as much of it as was asked for.
    const int32_t run = std::min(count, length - bank->sampleIndex);
    const float* burst = bank->bursts[bank->sequence[bank->symbolIndex]] + bank->sampleIndex;
    for (int32_t i = 0; i < run; ++i) {
      out[i] = amplitude * burst[i];
    }
    out += run;
    count -= run;
    bank->sampleIndex += run;
  }
}

void ToneBank::Free(ToneBank* bank) {
  if (bank == nullptr) {
    return;
  }
  delete[] bank->sequence;
  for (int32_t t = 0; t < bank->params.toneCount; ++t) {
    delete[] bank->bursts[t];
  }
  delete[] bank->bursts;
  delete bank;
}
