#include "bench/channel/ChannelSim.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"

namespace {

constexpr double kSenderRate = onair::kSampleRate;
constexpr double kTrialSeconds = 3.5;
constexpr double kMaxLeadSeconds = 0.6;
constexpr double kLevel = 1500.0;  // the key's amplitude at the microphone, 16-bit units
constexpr int32_t kTaps = 128;     // interpolation filter length
constexpr int32_t kTablePhases = 512;

// The sender's stream of shareKey from packet sample `phase` on, as it plays it.
std::vector<double> SenderStream(const std::string& shareKey, int64_t phase, int64_t samples) {
  std::string encoded;
  ShareKeyEncoder::Encode(shareKey, &encoded);
  ModemParams* params = CreateModemParams(static_cast<float>(kSenderRate), 4);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  ToneBank::SetPayload(bank, encoded.c_str());
  std::vector<float> floats(static_cast<size_t>(phase + samples));
  ToneBank::Render(bank, floats.data(), static_cast<int32_t>(floats.size()));
  ToneBank::Free(bank);
  DestroyModemParams(params);
  std::vector<double> out(static_cast<size_t>(samples));
  for (int64_t i = 0; i < samples; ++i) {
    out[i] = FloatToPcm16(floats[phase + i]) * (kLevel / 32767.0);
  }
  return out;
}

// Band-limited resampling: output frame m is input position m * step.
std::vector<double> Resample(const std::vector<double>& in, double step, int64_t frames) {
  const double cutoff = std::min(1.0, 1.0 / step) * 0.94;
  std::vector<float> table(static_cast<size_t>(kTablePhases) * kTaps);
  for (int32_t p = 0; p < kTablePhases; ++p) {
    const double frac = static_cast<double>(p) / kTablePhases;
    for (int32_t j = 0; j < kTaps; ++j) {
      const double t = (j - kTaps / 2 + 1) - frac;
      const double x = kPi * cutoff * t;
      const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(x) / x;
      const double u = (t + kTaps / 2.0) / kTaps;  // 0..1 across the filter
      const double blackman = 0.42 - 0.5 * std::cos(2 * kPi * u) + 0.08 * std::cos(4 * kPi * u);
      table[p * kTaps + j] = static_cast<float>(cutoff * sinc * std::max(0.0, blackman));
    }
  }
  std::vector<double> out(static_cast<size_t>(frames), 0.0);
  const int64_t size = static_cast<int64_t>(in.size());
  for (int64_t m = 0; m < frames; ++m) {
    const double pos = m * step;
    const int64_t base = static_cast<int64_t>(std::floor(pos));
    const int32_t p = static_cast<int32_t>((pos - base) * kTablePhases) % kTablePhases;
    const float* h = &table[p * kTaps];
    double sum = 0.0;
    for (int32_t j = 0; j < kTaps; ++j) {
      const int64_t i = base + j - kTaps / 2 + 1;
      if (i >= 0 && i < size) {
        sum += in[i] * h[j];
      }
    }
    out[m] = sum;
  }
  return out;
}

// A room: the direct sound, then a diffuse tail decaying 60 dB over rt60, drrDb below it.
std::vector<double> Room(const std::vector<double>& in, double rate, double rt60, double drrDb,
                         std::mt19937_64& rng) {
  const int64_t length = static_cast<int64_t>(rt60 * rate);
  std::vector<double> h(static_cast<size_t>(length), 0.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  h[0] = 1.0;
  double tail = 0.0;
  for (int64_t n = static_cast<int64_t>(0.003 * rate); n < length; ++n) {
    h[n] = normal(rng) * std::exp(-6.908 * n / (rt60 * rate));
    tail += h[n] * h[n];
  }
  const double gain = std::sqrt(std::pow(10.0, -drrDb / 10.0) / tail);
  for (int64_t n = 1; n < length; ++n) {
    h[n] *= gain;
  }
  int32_t size = 1;
  while (size < static_cast<int64_t>(in.size()) + length) {
    size *= 2;
  }
  kiss_fftr_cfg forward = kiss_fftr_alloc(size, 0, nullptr, nullptr);
  kiss_fftr_cfg inverse = kiss_fftr_alloc(size, 1, nullptr, nullptr);
  std::vector<float> a(size, 0.0f), b(size, 0.0f);
  std::copy(in.begin(), in.end(), a.begin());
  std::copy(h.begin(), h.end(), b.begin());
  std::vector<kiss_fft_cpx> fa(size / 2 + 1), fb(size / 2 + 1);
  kiss_fftr(forward, a.data(), fa.data());
  kiss_fftr(forward, b.data(), fb.data());
  for (size_t k = 0; k < fa.size(); ++k) {
    const float re = fa[k].r * fb[k].r - fa[k].i * fb[k].i;
    const float im = fa[k].r * fb[k].i + fa[k].i * fb[k].r;
    fa[k].r = re / size;
    fa[k].i = im / size;
  }
  kiss_fftri(inverse, fa.data(), a.data());
  kiss_fft_free(forward);
  kiss_fft_free(inverse);
  return std::vector<double>(a.begin(), a.begin() + in.size());
}

// A note or sweep with soft edges, added to out from frame start on.
void AddSweep(std::vector<double>& out, double rate, int64_t start, int64_t length, double f1,
              double f2, double amplitude) {
  const double edge = std::min(0.01 * rate, length / 4.0);
  double phase = 0.0;
  for (int64_t n = 0; n < length && start + n < static_cast<int64_t>(out.size()); ++n) {
    const double f = f1 + (f2 - f1) * n / length;
    phase += 2 * kPi * f / rate;
    double env = 1.0;
    if (n < edge) {
      env = 0.5 - 0.5 * std::cos(kPi * n / edge);
    } else if (length - n < edge) {
      env = 0.5 - 0.5 * std::cos(kPi * (length - n) / edge);
    }
    if (start + n >= 0) {
      out[start + n] += amplitude * env * std::sin(phase);
    }
  }
}

void AddInterference(std::vector<double>& out, double rate, ChannelCondition::Kind kind,
                     std::mt19937_64& rng) {
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const int64_t frames = static_cast<int64_t>(out.size());
  if (kind == ChannelCondition::kChirps) {
    // Sweeps across 17-22 kHz, up or down, of random length, now and then repeating exactly.
    int64_t at = static_cast<int64_t>(uniform(rng) * 0.3 * rate);
    const double period = 0.05 + 1.5 * uniform(rng);
    const bool repeat = uniform(rng) < 0.5;
    const bool up = uniform(rng) < 0.5;
    while (at < frames) {
      const double seconds = repeat ? period : 0.05 + 1.5 * uniform(rng);
      const int64_t length = static_cast<int64_t>(seconds * rate);
      const double lo = 17000 + 1000 * uniform(rng), hi = 21000 + 1000 * uniform(rng);
      AddSweep(out, rate, at, length, up ? lo : hi, up ? hi : lo, kLevel * (0.3 + uniform(rng)));
      at += length + (repeat ? 0 : static_cast<int64_t>(0.2 * rate * uniform(rng)));
    }
  } else if (kind == ChannelCondition::kTones) {
    // One to four tones in and around the band, some keyed on and off.
    const int count = 1 + static_cast<int>(uniform(rng) * 4);
    for (int t = 0; t < count; ++t) {
      const double f = 18900 + 1200 * uniform(rng);
      const double on = 0.04 + 0.4 * uniform(rng);
      const bool keyed = uniform(rng) < 0.5;
      for (int64_t at = 0; at < frames;) {
        const int64_t length = keyed ? static_cast<int64_t>(on * rate) : frames;
        AddSweep(out, rate, at, length, f, f, kLevel * (0.3 + uniform(rng)));
        at += 2 * length;
      }
    }
  } else if (kind == ChannelCondition::kMusic) {
    // One to three voices of notes near the band; half the time on a grid of the tone spacing
    // with note lengths in whole symbols, the hardest case.
    const bool grid = uniform(rng) < 0.5;
    const double symbol = 4096.0 / kSenderRate;
    const double gridBase = 18950 + 46.875 * uniform(rng);
    const int voices = 1 + static_cast<int>(uniform(rng) * 3);
    for (int v = 0; v < voices; ++v) {
      for (int64_t at = static_cast<int64_t>(-uniform(rng) * 0.3 * rate); at < frames;) {
        double f, seconds;
        if (grid) {
          f = gridBase + 46.875 * static_cast<int>(uniform(rng) * 22);
          seconds = symbol * (1 + static_cast<int>(uniform(rng) * 4));
        } else {
          f = 18900 + 1100 * uniform(rng);
          seconds = 0.06 + 0.34 * uniform(rng);
        }
        const int64_t length = static_cast<int64_t>(seconds * rate);
        AddSweep(out, rate, at, length, f, f, kLevel * (0.3 + uniform(rng)));
        at += length;
      }
    }
  }
}

}  // namespace

double TrialSeconds() {
  return kTrialSeconds;
}

ChannelTrial MakeTrial(const ChannelCondition& condition, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double rate = condition.captureRate;
  const int64_t frames = static_cast<int64_t>(kTrialSeconds * rate);
  ChannelTrial trial;
  std::vector<double> clean(static_cast<size_t>(frames), 0.0);
  double power = kLevel * kLevel * 0.4;  // a key's power, for noise on negative trials
  if (condition.kind == ChannelCondition::kKey) {
    for (int i = 0; i < 6; ++i) {
      trial.shareKey += static_cast<char>('A' + static_cast<int>(uniform(rng) * 26));
    }
    const double error = condition.clockPpm * 1e-6 * (uniform(rng) < 0.5 ? -1.0 : 1.0);
    const int64_t lead = static_cast<int64_t>(uniform(rng) * kMaxLeadSeconds * rate);
    const int64_t phase = static_cast<int64_t>(uniform(rng) * 40960);
    const double step = kSenderRate * (1.0 + error) / rate;  // sender samples per capture frame
    const int64_t signalFrames = frames - lead;
    std::vector<double> sent =
        SenderStream(trial.shareKey, phase, static_cast<int64_t>(signalFrames * step) + kTaps);
    std::vector<double> heard = (step == 1.0) ? sent : Resample(sent, step, signalFrames);
    std::copy(heard.begin(), heard.begin() + signalFrames, clean.begin() + lead);
    if (condition.rt60 > 0) {
      clean = Room(clean, rate, condition.rt60, condition.drrDb, rng);
    }
    double sum = 0.0;
    for (int64_t i = lead; i < frames; ++i) {
      sum += clean[i] * clean[i];
    }
    power = sum / static_cast<double>(frames - lead);
    trial.signalStart = lead;
  } else {
    AddInterference(clean, rate, condition.kind, rng);
  }
  const double sigma = std::sqrt(power / std::pow(10.0, condition.snrDb / 10.0));
  std::normal_distribution<double> normal(0.0, sigma);
  trial.samples.resize(static_cast<size_t>(frames));
  for (int64_t i = 0; i < frames; ++i) {
    const double v = std::round(clean[i] + normal(rng));
    trial.samples[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return trial;
}
