#include "modem/ToneDetector.h"

#include <algorithm>
#include <cstring>

namespace {

// Runs the FFT over the frame buffer and records frame `c`: the power of every tone, the
// strongest tone in its phase's row, and how clearly that tone stands out in the phase's score.
void AnalyseFrame(ToneDetector* detector, int32_t c) {
  kiss_fftr(detector->fft, detector->frame, detector->spectrum);

  const int32_t toneCount = detector->params.toneCount;
  const int32_t spectrumLength = detector->frameLength / 2 + 1;
  float* powers = detector->tonePowers + static_cast<size_t>(c) * toneCount;
  for (int32_t k = 0; k < toneCount; ++k) {
    const int32_t bin = detector->params.toneBins[k];
    if (bin < 0 || bin >= spectrumLength) {
      powers[k] = 0.0f;  // a tone this rate cannot represent carries no power
      continue;
    }
    const kiss_fft_cpx value = detector->spectrum[bin];
    powers[k] = value.r * value.r + value.i * value.i;
  }

  const int32_t phases = detector->params.framesPerSymbol;
  const int32_t phase = c % phases;
  const int32_t slot = c / phases;

  int32_t best = 0;
  const float peak = MaxIndex(powers, toneCount, &best);
  float total = 0.0f;
  for (int32_t k = 0; k < toneCount; ++k) {
    total += powers[k];
  }
  // Peak power against the mean of the other tones. A silent frame gives 0/0, a frame with
  // nothing outside the peak gives infinity; both are left as they come.
  const float ratio = (static_cast<float>(toneCount - 1) * peak) / (total - peak);

  detector->toneIndexes[static_cast<size_t>(phase) * detector->slotsPerPhase + slot] =
      static_cast<uint32_t>(best);
  detector->phaseScores[phase] += ratio;
}

}  // namespace

float MaxIndex(const float* values, int32_t count, int32_t* index) {
  *index = 0;
  if (count < 1) {
    return 0.0f;
  }
  float best = values[0];
  for (int32_t i = 1; i < count; ++i) {
    if (values[i] > best) {
      best = values[i];
      *index = i;
    }
  }
  return best;
}

int32_t ExtractPacket(uint8_t* out, int32_t n, const uint32_t* symbols, int32_t k) {
  const int32_t cycle = 2 * n + 2;
  if (k < 2 * n + 3 || k - 1 < 1) {
    return -1;
  }
  int32_t i = 0;
  while (i < k - 1 && !(symbols[i] == 0 && symbols[i + 1] == 0)) {
    ++i;
  }
  if (i >= k - 1) {
    return -1;
  }
  // Three zeros in a row: the last payload nibble was 0 and the separator is the last two.
  if (i + 2 < k && symbols[i + 2] == 0) {
    ++i;
  }
  if (n <= 0) {
    return n;
  }
  // The payload follows the separator; what the window cut off at its end is read one cycle
  // earlier.
  for (int32_t j = 0; j < n; ++j) {
    int32_t high = i + 2 + 2 * j;
    if (high >= k) {
      high -= cycle;
      if (high < 0) {
        return -1;
      }
    }
    int32_t low = i + 3 + 2 * j;
    if (low >= k) {
      low -= cycle;
      if (low < 0) {
        return -1;
      }
    }
    out[j] = static_cast<uint8_t>(((symbols[high] & 15) << 4) | (symbols[low] & 15));
  }
  return n;
}

ToneDetector* ToneDetector::Create(const ModemParams* params) {
  ToneDetector* detector = new ToneDetector();
  detector->params = *params;
  const int32_t phases = params->framesPerSymbol;
  detector->frameLength = params->symbolSamples / phases;
  detector->fft = AcquireForwardRealFft(detector->frameLength);

  // The window in whole frames, cut down to whole symbols.
  const float windowSamples = params->packetSeconds * params->sampleRate;
  int32_t frames = static_cast<int32_t>(windowSamples / static_cast<float>(detector->frameLength));
  frames -= frames % phases;
  detector->windowFrames = frames;
  detector->slotsPerPhase = frames / phases;

  detector->tonePowers = new float[static_cast<size_t>(frames) * params->toneCount]();
  detector->toneIndexes = new uint32_t[static_cast<size_t>(phases) * detector->slotsPerPhase]();
  detector->phaseScores = new float[phases]();
  detector->frame = new float[detector->frameLength]();
  detector->spectrum = new kiss_fft_cpx[detector->frameLength / 2 + 1]();
  detector->fillPosition = 0;
  detector->frameCounter = 0;
  return detector;
}

void ToneDetector::Free(ToneDetector* detector) {
  if (detector == nullptr) {
    return;
  }
  ReleaseForwardRealFft(detector->frameLength, detector->fft);
  delete[] detector->tonePowers;
  delete[] detector->toneIndexes;
  delete[] detector->phaseScores;
  delete[] detector->frame;
  delete[] detector->spectrum;
  delete detector;
}

int32_t ToneDetector::Feed(ToneDetector* detector, const float* samples, int32_t count) {
  const int32_t length = detector->frameLength;
  int32_t p = detector->fillPosition;
  int32_t c = detector->frameCounter;
  int32_t n = 0;
  while (n < count) {
    // A full frame is analysed when the sample after it arrives.
    if (p >= length) {
      AnalyseFrame(detector, c);
      ++c;
      p = 0;
    }
    // Window complete. The position is deliberately not stored: a detector fed on from here
    // resumes at the last stored fill position as frame M - 1 and re-analyses that frame once
    // its buffer is full again.
    if (c >= detector->windowFrames) {
      return 1;
    }
    const int32_t take = std::min(length - p, count - n);
    std::memcpy(detector->frame + p, samples + n, static_cast<size_t>(take) * sizeof(float));
    p += take;
    n += take;
    detector->frameCounter = c;
  }
  detector->fillPosition = p;
  return 0;
}

int32_t ToneDetector::Decode(const ToneDetector* detector, uint8_t* out) {
  int32_t phase = 0;
  MaxIndex(detector->phaseScores, detector->params.framesPerSymbol, &phase);
  const uint32_t* symbols =
      detector->toneIndexes + static_cast<size_t>(phase) * detector->slotsPerPhase;
  return ExtractPacket(out, static_cast<int32_t>(detector->params.payloadBytes), symbols,
                       detector->slotsPerPhase);
}
