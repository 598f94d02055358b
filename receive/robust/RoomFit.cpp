#include "receive/robust/RoomFit.h"

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>

#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"
#include "receive/robust/Triangle.h"

namespace {

constexpr int32_t kUnknowns = RoomFit::kTaps + RoomFit::kPreTaps;  // taps of the response
constexpr double kRidge = 1e-5;  // added to the train's power: keeps the system well posed

kiss_fft_cpx* Cpx(std::vector<float>& v) {
  return reinterpret_cast<kiss_fft_cpx*>(v.data());
}

}  // namespace

RoomFit::RoomFit(double sampleRate, int32_t decimation, double centreHz)
    : m_sampleRate(sampleRate), m_decimation(decimation), m_centreHz(centreHz) {
  ModemParams* params = CreateModemParams(onair::kSampleRate, onair::kPayloadBytes);
  std::copy(params->toneFrequencies, params->toneFrequencies + onair::kToneCount, m_tones);
  m_symbolSamples = params->symbolSamples;
  m_window.assign(params->symbolSamples + 1, 0.0f);
  TukeyWindow(m_window.data(), params->symbolSamples, params->taperRatio);
  DestroyModemParams(params);
  for (int s = 0; s < 2; ++s) {
    m_transforms[s].size = kFftSize >> (1 - s);
    m_transforms[s].forward = AcquireForwardFft(m_transforms[s].size);
    m_transforms[s].power = AcquireForwardRealFft(m_transforms[s].size);
  }
  for (auto* v : {&m_heard, &m_heardFft, &m_train, &m_trainFft, &m_work, &m_workFft}) {
    v->assign(2 * kFftSize, 0.0f);
  }
  m_lags.assign(2 * kUnknowns, 0.0);
  m_cross.assign(2 * kUnknowns, 0.0);
  m_solveScratch.assign(6 * (kUnknowns + 1), 0.0);
  m_response.assign(2 * kUnknowns, 0.0);
  m_kept.assign(2 * kUnknowns, 0.0);
  m_edgeScratch.assign(4 * kUnknowns, 0.0f);
}

RoomFit::~RoomFit() {
  for (const Transforms& t : m_transforms) {
    ReleaseForwardFft(t.size, t.forward);
    ReleaseForwardRealFft(t.size, t.power);
  }
}

void RoomFit::Load(const float* ringRe, const float* ringIm, int32_t ringSize, int64_t end,
                   int32_t span, double noise) {
  m_span = std::clamp(span, 0, kMaxSpan);
  m_first = end - m_span;
  m_noise = std::max(noise, 1e-30);
  double energy = 0.0;
  for (int32_t j = 0; j < m_span; ++j) {
    const int64_t at = (m_first + j) & (ringSize - 1);
    m_heard[2 * j] = ringRe[at];
    m_heard[2 * j + 1] = ringIm[at];
    energy +=
        static_cast<double>(ringRe[at]) * ringRe[at] + static_cast<double>(ringIm[at]) * ringIm[at];
  }
  m_heardEnergy = energy / m_noise;
  m_heardSpan = -1;
}

// The burst train at base samples first - kTaps + 1 on, as the front end hands it over: each
// burst's positive-frequency half, mixed down, at the triangle's gain for its frequency (the
// window changes too slowly for the triangle to shape it).
void RoomFit::Synthesise(const int32_t* tones, double start, double clockError, int64_t first,
                         int32_t count) {
  if (clockError != m_gainError) {  // a fit's alternatives share the clock error
    for (int k = 0; k < onair::kToneCount; ++k) {
      const double offset = m_tones[k] * (1.0 + clockError) - m_centreHz;
      m_gain[k] = TriangleGain(m_decimation, offset / m_sampleRate) / m_decimation;
    }
    m_gainError = clockError;
  }
  const double senderPerCapture = (1.0 + clockError) * onair::kSampleRate / m_sampleRate;
  const double burst = m_symbolSamples;
  // A word's alternatives share its timing: only the bursts whose tone changed are made again.
  const bool same = start == m_trainStart && clockError == m_trainError && first == m_trainFirst &&
                    count == m_trainCount;
  if (!same) {
    std::fill(m_train.begin() + 2 * count, m_train.end(), 0.0f);  // zero-padded to either size
    m_trainStart = start;
    m_trainError = clockError;
    m_trainFirst = first;
    m_trainCount = count;
  }
  // Within a burst the phase turns by the same angle every sample, and the position in the burst
  // moves on by the same step: one sine and cosine a burst, and its start worked out exactly.
  const double pace = m_decimation * senderPerCapture;  // sender samples per base sample
  int32_t n = 0;
  while (n < count) {
    const double capture = static_cast<double>(first - kTaps + 1 + n) * m_decimation - 0.5;
    const double sent = (capture - start) * senderPerCapture;  // sender samples since position 0
    const double symbol = std::floor(sent / burst);
    double within = sent - symbol * burst;
    const int64_t cycle = static_cast<int64_t>(symbol) % onair::kPacketSymbols;
    const int32_t position =
        static_cast<int32_t>(cycle < 0 ? cycle + onair::kPacketSymbols : cycle);
    const int32_t tone = tones[position];
    const int32_t left = static_cast<int32_t>(std::ceil((burst - within) / pace));  // in the burst
    const int32_t end = std::min(count, n + std::max(left, 1));
    if (same && m_trainTones[position] == tone) {
      n = end;
      continue;
    }
    // Cycles of the burst's own tone since it started, less the mixer's since capture sample 0.
    double cycles = m_tones[tone] * within / onair::kSampleRate;
    const double mixer = m_centreHz * capture / m_sampleRate;
    cycles = (cycles - std::floor(cycles)) - (mixer - std::floor(mixer));
    double pr = std::cos(2.0 * kPi * cycles);
    double pi = std::sin(2.0 * kPi * cycles);
    const double step = m_decimation * (m_tones[tone] * senderPerCapture / onair::kSampleRate -
                                        m_centreHz / m_sampleRate);
    const double sr = std::cos(2.0 * kPi * step), si = std::sin(2.0 * kPi * step);
    const double gain = m_gain[tone];
    for (; n < end; ++n) {
      const int32_t i = std::min(static_cast<int32_t>(within), static_cast<int32_t>(burst) - 1);
      const double frac = within - i;
      const double a = gain * (m_window[i] + frac * (m_window[i + 1] - m_window[i]));
      m_train[2 * n] = static_cast<float>(a * pr);
      m_train[2 * n + 1] = static_cast<float>(a * pi);
      const double r = pr * sr - pi * si;
      pi = pr * si + pi * sr;
      pr = r;
      within += pace;
    }
  }
  std::copy(tones, tones + onair::kPacketSymbols, m_trainTones);
}

// Solves the Hermitian Toeplitz system whose first row is m_lags for m_cross, into m_response,
// by Levinson recursion; false when the system is not positive definite. The recursion keeps its
// vectors as separate real and imaginary parts, and the lags reversed and conjugated, so that its
// inner products run forwards.
bool RoomFit::Solve(int32_t n) {
  const double* t = m_lags.data();
  const double* b = m_cross.data();
  if (!(t[0] > 0.0)) {
    return false;
  }
  double* ur = m_solveScratch.data();  // ur[n - k] + i ui[n - k] = conj(t[k])
  double* ui = ur + (n + 1);
  double* fr = ui + (n + 1);  // the forward vector, with a zero past its end
  double* fi = fr + (n + 1);
  double* xr = fi + (n + 1);  // the solution so far
  double* xi = xr + (n + 1);
  for (int32_t k = 0; k < n; ++k) {
    ur[n - k] = t[2 * k];
    ui[n - k] = -t[2 * k + 1];
  }
  std::fill(fr, fr + 4 * (n + 1), 0.0);
  fr[0] = 1.0 / t[0];
  xr[0] = b[0] / t[0];
  xi[0] = b[1] / t[0];
  for (int32_t size = 1; size < n; ++size) {
    // The new row (conjugated lags, newest first) against the forward vector and the solution.
    const double* vr = ur + n - size;
    const double* vi = ui + n - size;
    double efr = 0.0, efi = 0.0, exr = 0.0, exi = 0.0;
    for (int32_t i = 0; i < size; ++i) {
      efr += vr[i] * fr[i] - vi[i] * fi[i];
      efi += vr[i] * fi[i] + vi[i] * fr[i];
      exr += vr[i] * xr[i] - vi[i] * xi[i];
      exi += vr[i] * xi[i] + vi[i] * xr[i];
    }
    const double denom = 1.0 - (efr * efr + efi * efi);
    if (!(denom > 1e-12)) {
      return false;
    }
    // Forward vector of the larger system, in place: each end pair takes from the other's
    // conjugate (the backward vector is the forward one reversed and conjugated).
    const double scale = 1.0 / denom;
    for (int32_t i = 0, j = size; i <= j; ++i, --j) {
      const double ar = fr[i], ai = fi[i], br = fr[j], bi = fi[j];
      fr[i] = (ar - (efr * br + efi * bi)) * scale;
      fi[i] = (ai - (efi * br - efr * bi)) * scale;
      if (i != j) {
        fr[j] = (br - (efr * ar + efi * ai)) * scale;
        fi[j] = (bi - (efi * ar - efr * ai)) * scale;
      }
    }
    const double sr = b[2 * size] - exr, si = b[2 * size + 1] - exi;
    for (int32_t i = 0; i <= size; ++i) {
      const double cr = fr[size - i], ci = -fi[size - i];
      xr[i] += sr * cr - si * ci;
      xi[i] += sr * ci + si * cr;
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    m_response[2 * i] = xr[i];
    m_response[2 * i + 1] = xi[i];
  }
  return true;
}

double RoomFit::Cost(const int32_t* tones, double start, double clockError, int32_t span,
                     int32_t from) {
  constexpr double kRefused = 1e300;
  from = std::clamp(from, 0, m_span);
  const int32_t m = std::min(span, m_span - from);
  if (m < kUnknowns) {
    return kRefused;
  }
  // A stretch short enough takes transforms of half the size.
  const Transforms& transform =
      m + 2 * (kUnknowns - 1) <= kFftSize / 2 ? m_transforms[0] : m_transforms[1];
  const int32_t size = transform.size;
  if (m != m_heardSpan || from != m_heardFrom) {  // fit part of what was loaded
    std::fill(m_work.begin(), m_work.end(), 0.0f);
    std::copy(m_heard.begin() + 2 * from, m_heard.begin() + 2 * (from + m), m_work.begin());
    kiss_fft(transform.forward, Cpx(m_work), Cpx(m_heardFft));
    m_heardPower = 0.0;
    for (int32_t j = 0; j < 2 * m; ++j) {
      m_heardPower += static_cast<double>(m_work[j]) * m_work[j];
    }
    m_heardFrom = from;
    m_heardSpan = m;
  }
  Synthesise(tones, start, clockError, m_first + from, m + kUnknowns - 1);
  kiss_fft(transform.forward, Cpx(m_train), Cpx(m_trainFft));
  const float scale = 1.0f / size;
  // The train's autocorrelation, and its correlation with what was heard at every lag. Inverse
  // transforms are forward ones of the conjugate, conjugated (one set of twiddles to make); the
  // train's power is real, so its transform is a real one.
  for (int32_t k = 0; k < size; ++k) {
    const float re = m_trainFft[2 * k], im = m_trainFft[2 * k + 1];
    m_workFft[k] = (re * re + im * im) * scale;
  }
  kiss_fftr(transform.power, m_workFft.data(), Cpx(m_work));
  for (int32_t d = 0; d < kUnknowns; ++d) {
    m_lags[2 * d] = m_work[2 * d];
    m_lags[2 * d + 1] = -m_work[2 * d + 1];
  }
  m_lags[0] *= 1.0 + kRidge;
  for (int32_t k = 0; k < size; ++k) {
    const float re = m_trainFft[2 * k], im = -m_trainFft[2 * k + 1];
    const float yr = m_heardFft[2 * k], yi = m_heardFft[2 * k + 1];
    m_workFft[2 * k] = (re * yr - im * yi) * scale;
    m_workFft[2 * k + 1] = -(re * yi + im * yr) * scale;
  }
  kiss_fft(transform.forward, Cpx(m_workFft), Cpx(m_work));
  for (int32_t q = 0; q < kUnknowns; ++q) {
    const int32_t at = (size - q) % size;
    m_cross[2 * q] = m_work[2 * at];
    m_cross[2 * q + 1] = -m_work[2 * at + 1];
  }
  if (!Solve(kUnknowns)) {
    return kRefused;
  }
  // The residual over every row the train reaches (nothing heard beyond the loaded ones) follows
  // from the normal equations: |y|^2 - h'b less the ridge's share; then the rows beyond the loaded
  // ones, where all that is left is the prediction itself, are taken away.
  double hb = 0.0, hh = 0.0;
  for (int32_t q = 0; q < kUnknowns; ++q) {
    const double hr = m_response[2 * q], hi = m_response[2 * q + 1];
    hb += hr * m_cross[2 * q] + hi * m_cross[2 * q + 1];
    hh += hr * hr + hi * hi;
  }
  // Rows j < 0 and j >= m, each the sum over taps q of h[q] t[j + q]; summed tap by tap so that
  // the rows' sums do not wait on one another.
  const float* t = m_train.data();
  const int32_t count = m + kUnknowns - 1;
  float* accR = m_edgeScratch.data();
  float* accI = accR + 2 * kUnknowns;
  std::fill(accR, accR + 4 * kUnknowns, 0.0f);
  for (int32_t q = 0; q < kUnknowns; ++q) {
    const float hr = static_cast<float>(m_response[2 * q]);
    const float hi = static_cast<float>(m_response[2 * q + 1]);
    // Before the loaded rows: j from -q to -1, at accR[j + kUnknowns].
    for (int32_t j = -q; j < 0; ++j) {
      const float tr = t[2 * (j + q)], ti = t[2 * (j + q) + 1];
      accR[j + kUnknowns] += hr * tr - hi * ti;
      accI[j + kUnknowns] += hr * ti + hi * tr;
    }
    // After them: j from m to count - 1 - q, at accR[kUnknowns + j - m].
    for (int32_t j = m; j < count - q; ++j) {
      const float tr = t[2 * (j + q)], ti = t[2 * (j + q) + 1];
      accR[kUnknowns + j - m] += hr * tr - hi * ti;
      accI[kUnknowns + j - m] += hr * ti + hi * tr;
    }
  }
  double beyond = 0.0;
  for (int32_t i = 0; i < 2 * kUnknowns; ++i) {
    beyond += static_cast<double>(accR[i]) * accR[i] + static_cast<double>(accI[i]) * accI[i];
  }
  const double ridge = m_lags[0] * kRidge / (1.0 + kRidge);
  return (m_heardPower - hb - ridge * hh - beyond) / m_noise;
}

void RoomFit::Keep() {
  m_kept = m_response;
}

double RoomFit::Turn() const {
  double re = 0.0, im = 0.0;
  // The response's ends also soak up what the model leaves out (the room's later tail, the
  // stretch's edges): only its body turns with the clock.
  for (int32_t q = 16; q < kUnknowns - 16; ++q) {
    const double ar = m_kept[2 * q], ai = m_kept[2 * q + 1];
    const double br = m_response[2 * q], bi = m_response[2 * q + 1];
    re += ar * br + ai * bi;
    im += ar * bi - ai * br;
  }
  return std::atan2(im, re);
}
