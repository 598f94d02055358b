// Streaming sample-rate conversion of mono float audio by a Kaiser-windowed sinc kernel.
// Output frame n lies at input time n * inRate / outRate exactly (no added delay); it is made
// once the input reaches kHalfWidth zero crossings past it. The output does not depend on how
// the input is cut into pushes. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Resampler {
 public:
  static constexpr int32_t kHalfWidth = 64;      // zero crossings on each side of a point
  static constexpr int32_t kTableSteps = 512;    // kernel table entries per zero crossing
  static constexpr double kKaiserBeta = 8.0;     // about 80 dB of stopband
  static constexpr double kPassFraction = 0.97;  // cutoff against the lower Nyquist frequency

  // Any thread. A converter from inRate to outRate (both positive).
  Resampler(int32_t inRate, int32_t outRate);

  // The owner's thread. Takes count input samples and appends every output frame they complete
  // to *out; *out is not cleared. Allocates only when a push is longer than any before it.
  void Push(const float* in, size_t count, std::vector<float>* out);

 private:
  // The kernel at distance x input samples from an output point.
  double Kernel(double x) const;

  int64_t m_inRate;
  int64_t m_outRate;
  double m_cutoff;               // kernel cutoff in cycles per input sample, times 2
  double m_reach;                // input samples on each side of a point that the kernel covers
  std::vector<float> m_table;    // the unit-cutoff windowed sinc at kTableSteps per crossing
  std::vector<float> m_history;  // input from m_historyStart on
  int64_t m_historyStart = 0;    // input index of m_history[0] (negative: leading zeros)
  int64_t m_next = 0;            // the next output frame
};
