#include "send/HovSource.h"

#include <algorithm>
#include <cstring>

#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"

namespace {
constexpr int32_t kFadeHalf = onair::kFadeHalf;  // samples on each side of the key change
constexpr int32_t kFadeRamp = onair::kFadeRamp;  // samples of each linear ramp
constexpr double kRampLength = kFadeRamp;
}  // namespace

int32_t HovSource::Init(const char* encodedKey) {
  m_params = CreateModemParams(static_cast<float>(onair::kSampleRate),
                               static_cast<uint32_t>(std::strlen(encodedKey)));
  m_params->amplitude = 1.0f;
  m_bank = ToneBank::Create(m_params);
  return ToneBank::SetPayload(m_bank, encodedKey);
}

void HovSource::Uninit() {
  ToneBank::Free(m_bank);
  m_bank = nullptr;
  DestroyModemParams(m_params);
  m_params = nullptr;
}

void HovSource::Update(const char* encodedKey) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<float> samples(kFadeHalf);
  ToneBank::Render(m_bank, samples.data(), kFadeHalf);
  for (int32_t i = 0; i < kFadeRamp; ++i) {
    samples[i] = static_cast<float>(1.0 - i / kRampLength) * samples[i];
  }
  std::fill(samples.begin() + kFadeRamp, samples.end(), 0.0f);
  for (float s : samples) {
    m_pending.push_back(FloatToPcm16(s));
  }

  ToneBank::SetPayload(m_bank, encodedKey);
  ToneBank::Render(m_bank, samples.data(), kFadeHalf);
  std::fill(samples.begin(), samples.begin() + kFadeRamp, 0.0f);
  for (int32_t k = 0; k < kFadeRamp; ++k) {
    samples[kFadeRamp + k] = static_cast<float>(k / kRampLength) * samples[kFadeRamp + k];
  }
  for (float s : samples) {
    m_pending.push_back(FloatToPcm16(s));
  }
}

int32_t HovSource::Read(int16_t* buffer, int32_t count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int32_t queued = static_cast<int32_t>(std::min<size_t>(m_pending.size(), count));
  std::copy(m_pending.begin(), m_pending.begin() + queued, buffer);
  m_pending.erase(m_pending.begin(), m_pending.begin() + queued);
  RenderPcm(buffer + queued, count - queued);
  return count;
}

void HovSource::RenderPcm(int16_t* out, int32_t count) {
  if (count < 1) {
    return;
  }
  std::vector<float> samples(count);
  ToneBank::Render(m_bank, samples.data(), count);
  std::transform(samples.begin(), samples.end(), out, FloatToPcm16);
}
