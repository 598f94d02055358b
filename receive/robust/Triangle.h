// The robust front end's decimating filter: a triangle over two blocks of `decimation` capture
// samples, rising by (j + 0.5) / decimation and falling back.
#pragma once

#include <cmath>
#include <cstdint>

#include "modem/ModemParams.h"

// Any thread. The triangle's jth weight, j from 0 to 2 * decimation - 1.
inline double TriangleWeight(int32_t decimation, int32_t j) {
  return (j < decimation ? j + 0.5 : 2 * decimation - j - 0.5) / decimation;
}

// Any thread. The triangle's gain at `cycles` cycles per capture sample, about its middle (a real
// number: the triangle is symmetric). The cosines step by cos(a + s) = 2 cos s cos a - cos(a - s).
inline double TriangleGain(int32_t decimation, double cycles) {
  const double step = 2.0 * kPi * cycles;
  const double twice = 2.0 * std::cos(step);
  double before = std::cos(step * (decimation + 0.5)), now = std::cos(step * (decimation - 0.5));
  double gain = 0.0;
  for (int32_t j = 0; j < 2 * decimation; ++j) {
    gain += TriangleWeight(decimation, j) * now;
    const double next = twice * now - before;
    before = now;
    now = next;
  }
  return gain;
}
