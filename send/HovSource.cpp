#include "send/HovSource.h"

#include <algorithm>
#include <cstring>

#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"

namespace {
constexpr int32_t kFadeHalf = onair::kFadeHalf;  // the payload switches here
constexpr int32_t kFadeRamp = onair::kFadeRamp;  // samples of each linear ramp
constexpr double kRampLength = kFadeRamp;

// Gain of sample i of the cross-fade, as the fade has always been computed.
float FadeGain(int32_t i, float sample) {
  if (i < kFadeRamp) {
    return static_cast<float>(1.0 - i / kRampLength) * sample;
  }
  if (i < HovSource::kFadeSamples - kFadeRamp) {
    return 0.0f;
  }
  const int32_t k = i - (HovSource::kFadeSamples - kFadeRamp);
  return static_cast<float>(k / kRampLength) * sample;
}
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
  const size_t length = std::strlen(encodedKey);
  if (length >= static_cast<size_t>(kMaxKey)) {
    return;  // no payload is this long; the bank would refuse it
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  std::memcpy(m_pendingKey, encodedKey, length + 1);
  m_keyPending = true;
}

int32_t HovSource::Read(int16_t* buffer, int32_t count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (int32_t done = 0; done < count;) {
    int32_t n = std::min(count - done, kScratch);
    if (m_fadePos < 0 && m_keyPending) {
      m_fadePos = 0;
    }
    if (m_fadePos >= 0) {
      // Stop the chunk at the switch point and at the end of the fade.
      int32_t edge = m_fadePos < kFadeHalf ? kFadeHalf : kFadeSamples;
      n = std::min(n, edge - m_fadePos);
    }
    RenderChunk(buffer + done, n);
    done += n;
  }
  return count;
}

void HovSource::SetNewsCallback(void (*news)(void* context), void* context) {
  m_news = news;
  m_newsContext = context;
}

void HovSource::OnDeviceNews() {
  if (m_news != nullptr) {
    m_news(m_newsContext);
  }
}

void HovSource::RenderChunk(int16_t* out, int32_t count) {
  ToneBank::Render(m_bank, m_scratch, count);
  if (m_fadePos < 0) {
    std::transform(m_scratch, m_scratch + count, out, FloatToPcm16);
    return;
  }
  for (int32_t i = 0; i < count; ++i) {
    out[i] = FloatToPcm16(FadeGain(m_fadePos + i, m_scratch[i]));
  }
  m_fadePos += count;
  if (m_fadePos == kFadeHalf) {
    // A key that arrives from here on waits for the next fade.
    ToneBank::SetPayload(m_bank, m_pendingKey);
    m_keyPending = false;
  } else if (m_fadePos == kFadeSamples) {
    m_fadePos = -1;
  }
}
