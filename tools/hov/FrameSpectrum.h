// Power spectra of 1024-sample frames for the tool's level readings: real FFT, every bin's
// power relative to a full-scale sine centred on that bin. Without a window (as the receiver's
// detector reads its frames: a steady tone on a bin centre leaves the other tone bins empty) or
// with a Hann window (less spill across the band where symbols meet, for pictures).
#pragma once

#include <cstdint>
#include <vector>

#include <kiss_fftr.h>

class FrameSpectrum {
 public:
  static constexpr int32_t kLength = 1024;
  static constexpr int32_t kBins = kLength / 2 + 1;
  enum class Window { kNone, kHann };

  explicit FrameSpectrum(Window window);  // caller's thread
  ~FrameSpectrum();                       // caller's thread
  FrameSpectrum(const FrameSpectrum&) = delete;
  FrameSpectrum& operator=(const FrameSpectrum&) = delete;

  // Caller's thread. The powers of bins 0..512 of kLength samples in 16-bit scale (a sine of
  // amplitude 32768 centred on bin k gives 1.0 at k); valid until the next call.
  const std::vector<float>& Analyse(const float* samples);

  // Any thread. The bins a sine's power is spread over, in sum: a band's summed power divided
  // by this is its power against a full-scale sine (1 without a window, 1.5 with Hann's).
  double WindowBins() const { return m_windowBins; }

  // Any thread. A power ratio in dB; zero gives -200 dB rather than minus infinity.
  static double Db(double power);

 private:
  kiss_fftr_cfg m_fft;
  std::vector<float> m_window;
  double m_scale;  // power of a full-scale sine centred on a bin, inverted
  double m_windowBins;
  std::vector<float> m_frame;
  std::vector<kiss_fft_cpx> m_spectrum;
  std::vector<float> m_powers;
};
