#include "modem/Resampler.h"

#include <algorithm>
#include <cmath>

#include "modem/ModemParams.h"

namespace {
// The modified Bessel function of order 0, by its power series.
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 60 && term > sum * 1e-17; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}
}  // namespace

Resampler::Resampler(int32_t inRate, int32_t outRate)
    : m_inRate(inRate),
      m_outRate(outRate),
      m_cutoff(kPassFraction * std::min(1.0, static_cast<double>(outRate) / inRate)),
      m_reach(kHalfWidth / m_cutoff) {
  const int32_t entries = kHalfWidth * kTableSteps + 2;
  m_table.resize(static_cast<size_t>(entries));
  const double norm = BesselI0(kKaiserBeta);
  for (int32_t i = 0; i < entries; ++i) {
    const double u = static_cast<double>(i) / kTableSteps;  // zero crossings from the centre
    const double r = std::min(u / kHalfWidth, 1.0);
    const double sinc = i == 0 ? 1.0 : std::sin(kPi * u) / (kPi * u);
    m_table[static_cast<size_t>(i)] =
        static_cast<float>(sinc * BesselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / norm);
  }
  // The points before the first input see zeros.
  const int64_t lead = static_cast<int64_t>(std::ceil(m_reach)) + 1;
  m_history.assign(static_cast<size_t>(lead), 0.0f);
  m_historyStart = -lead;
}

double Resampler::Kernel(double x) const {
  const double position = std::fabs(x) * m_cutoff * kTableSteps;
  const size_t index = static_cast<size_t>(position);
  if (index + 1 >= m_table.size()) {
    return 0.0;
  }
  const double fraction = position - static_cast<double>(index);
  return m_cutoff * (m_table[index] + fraction * (m_table[index + 1] - m_table[index]));
}

void Resampler::Push(const float* in, size_t count, std::vector<float>* out) {
  m_history.insert(m_history.end(), in, in + count);
  const int64_t available = m_historyStart + static_cast<int64_t>(m_history.size());
  const int64_t reach = static_cast<int64_t>(std::ceil(m_reach));
  for (;;) {
    // Output frame m_next sits at input time centre + fraction / outRate.
    const int64_t scaled = m_next * m_inRate;
    const int64_t centre = scaled / m_outRate;
    const double offset = static_cast<double>(scaled % m_outRate) / static_cast<double>(m_outRate);
    // The kernel reaches input centre + reach + 1, which must have come.
    if (centre + reach + 1 >= available) {
      break;
    }
    double sum = 0.0;
    for (int64_t k = centre - reach; k <= centre + reach + 1; ++k) {
      const double weight = Kernel(static_cast<double>(k - centre) - offset);
      sum += weight * m_history[static_cast<size_t>(k - m_historyStart)];
    }
    out->push_back(static_cast<float>(sum));
    ++m_next;
  }
  // Keep what the next output frame still reaches.
  const int64_t keepFrom = (m_next * m_inRate) / m_outRate - reach - 1;
  if (keepFrom > m_historyStart) {
    m_history.erase(m_history.begin(), m_history.begin() + (keepFrom - m_historyStart));
    m_historyStart = keepFrom;
  }
}
