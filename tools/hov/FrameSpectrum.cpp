#include "tools/hov/FrameSpectrum.h"

#include <cmath>

#include "modem/ModemParams.h"

FrameSpectrum::FrameSpectrum(Window window)
    : m_fft(kiss_fftr_alloc(kLength, 0, nullptr, nullptr)),
      m_window(kLength, 1.0f),
      m_frame(kLength),
      m_spectrum(kBins),
      m_powers(kBins) {
  // A sine of amplitude A on a bin centre gives |X| = A * gain * kLength / 2, the gain being the
  // window's mean; its power spreads over the sum of squares of the window divided by the
  // square of its sum, in bins.
  double sum = kLength;
  double squares = kLength;
  if (window == Window::kHann) {
    sum = 0.0;
    squares = 0.0;
    for (int32_t i = 0; i < kLength; ++i) {
      m_window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / kLength));
      sum += m_window[i];
      squares += static_cast<double>(m_window[i]) * m_window[i];
    }
  }
  const double fullScale = 32768.0 * sum / 2.0;
  m_scale = 1.0 / (fullScale * fullScale);
  m_windowBins = squares * kLength / (sum * sum);
}

FrameSpectrum::~FrameSpectrum() {
  kiss_fftr_free(m_fft);
}

const std::vector<float>& FrameSpectrum::Analyse(const float* samples) {
  for (int32_t i = 0; i < kLength; ++i) {
    m_frame[i] = samples[i] * m_window[i];
  }
  kiss_fftr(m_fft, m_frame.data(), m_spectrum.data());
  for (int32_t k = 0; k < kBins; ++k) {
    const kiss_fft_cpx& x = m_spectrum[k];
    m_powers[k] = static_cast<float>(
        (static_cast<double>(x.r) * x.r + static_cast<double>(x.i) * x.i) * m_scale);
  }
  return m_powers;
}

double FrameSpectrum::Db(double power) {
  return power > 1e-20 ? 10.0 * std::log10(power) : -200.0;
}
