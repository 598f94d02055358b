#include "modem/ModemParams.h"

#include <cmath>

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
