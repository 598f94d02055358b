#include "modem/ModemParams.h"

#include <cmath>
#include <mutex>

#include "modem/OnAir.h"

ModemParams* CreateModemParams(float sampleRate, uint32_t payloadBytes) {
  ModemParams* params = new ModemParams();
  params->payloadBytes = payloadBytes;
  params->sampleRate = sampleRate;
  params->toneCount = onair::kToneCount;
  params->symbolSamples = onair::kSymbolSamples;
  params->lowFrequency = onair::kBandLow;
  params->highFrequency = onair::kBandHigh;
  params->framesPerSymbol = onair::kFramesPerSymbol;
  params->reserved = 100.0f;
  params->taperRatio = 0.5f;
  params->amplitude = 0.8f;

  // Two symbols per byte plus three more: the receive window is one symbol longer than a packet.
  const uint32_t windowSamples = payloadBytes * 8192u + 12288u;
  params->packetSeconds = static_cast<float>(windowSamples) / sampleRate;

  params->toneFrequencies = new double[onair::kToneCount]();
  params->toneBins = new int32_t[params->toneCount]();

  // Tones sit on the bin centres of the receiver's frame-sized FFT: the first bin at or above
  // the low edge, then the whole number of bins that the band spacing covers.
  const double binWidth = static_cast<double>(params->sampleRate) /
                          static_cast<double>(params->symbolSamples / params->framesPerSymbol);
  const int32_t firstBin = static_cast<int32_t>(
      std::ceil(static_cast<float>(static_cast<double>(params->lowFrequency) / binWidth)));
  const float band = params->highFrequency - params->lowFrequency;
  const float spacing = band / static_cast<float>(params->toneCount - 1);
  const int32_t step =
      static_cast<int32_t>(std::floor(static_cast<float>(static_cast<double>(spacing) / binWidth)));
  for (int32_t i = 0; i < params->toneCount; ++i) {
    params->toneBins[i] = firstBin + i * step;
    params->toneFrequencies[i] = static_cast<double>(params->toneBins[i]) * binWidth;
  }
  return params;
}

void DestroyModemParams(ModemParams* params) {
  if (params == nullptr) {
    return;
  }
  delete[] params->toneFrequencies;
  delete[] params->toneBins;
  delete params;
}

namespace {

// Configurations given back, kept for the next user: a receiver's ten decoders, and the next
// receiver's, then build no tables. Never freed while the process runs.
struct FftPool {
  static constexpr int32_t kCapacity = 48;
  std::mutex mutex;
  int32_t count = 0;
  int32_t points[kCapacity] = {};
  bool real[kCapacity] = {};
  void* configs[kCapacity] = {};
};

FftPool& Pool() {
  static FftPool* pool = new FftPool();
  return *pool;
}

// One given back of that size and kind, or null.
void* Reuse(int32_t points, bool real) {
  FftPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (int32_t i = pool.count - 1; i >= 0; --i) {
    if (pool.points[i] == points && pool.real[i] == real) {
      void* cfg = pool.configs[i];
      --pool.count;
      pool.points[i] = pool.points[pool.count];
      pool.real[i] = pool.real[pool.count];
      pool.configs[i] = pool.configs[pool.count];
      return cfg;
    }
  }
  return nullptr;
}

// False when the pool is full: the caller frees it.
bool Keep(int32_t points, bool real, void* cfg) {
  FftPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  if (pool.count == FftPool::kCapacity) {
    return false;
  }
  pool.points[pool.count] = points;
  pool.real[pool.count] = real;
  pool.configs[pool.count] = cfg;
  ++pool.count;
  return true;
}

}  // namespace

kiss_fftr_cfg AcquireForwardRealFft(int32_t points) {
  if (void* cfg = Reuse(points, true)) {
    return static_cast<kiss_fftr_cfg>(cfg);
  }
  return kiss_fftr_alloc(points, 0, nullptr, nullptr);
}

void ReleaseForwardRealFft(int32_t points, kiss_fftr_cfg cfg) {
  if (cfg != nullptr && !Keep(points, true, cfg)) {
    kiss_fftr_free(cfg);
  }
}

kiss_fft_cfg AcquireForwardFft(int32_t points) {
  if (void* cfg = Reuse(points, false)) {
    return static_cast<kiss_fft_cfg>(cfg);
  }
  return kiss_fft_alloc(points, 0, nullptr, nullptr);
}

void ReleaseForwardFft(int32_t points, kiss_fft_cfg cfg) {
  if (cfg != nullptr && !Keep(points, false, cfg)) {
    kiss_fft_free(cfg);
  }
}
