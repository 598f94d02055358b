#include "tools/hov/Analyze.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/ToneDetector.h"
#include "tools/hov/FrameSpectrum.h"

namespace analyze {
namespace {
constexpr int32_t kFrame = FrameSpectrum::kLength;
constexpr int32_t kTopBin = FrameSpectrum::kBins - 1;
constexpr int32_t kMaxColumns = 8000;
constexpr double kPictureLow = 18500.0;
constexpr double kPictureHigh = 20500.0;
constexpr double kBandLow = 19100.0;
constexpr double kBandHigh = 19900.0;
constexpr double kReferenceLow = 12000.0;
constexpr double kReferenceHigh = 16000.0;
// The tones on air: the sender's plan at 48000 Hz, whatever rate the file has.
constexpr double kFirstTone = 19125.0;
constexpr double kToneStep = 46.875;
constexpr int32_t kReceiveRate = 48000;
constexpr uint32_t kEncodedKeyBytes = 4;
constexpr int64_t kStagger = 9600;
constexpr int64_t kWindowFrames = 45056;  // a decoder has its packet with the frame after
constexpr int kAcceptVotes = 2;
// Below this the band holds nothing a microphone would pick up (dB against a full-scale sine).
constexpr double kNoEnergyDb = -90.0;
// Noise alone lifts the strongest of 16 bins a few dB over the median; tones stand out beyond.
constexpr double kTonesSeenDb = 10.0;
// The band this far below 12 to 16 kHz, per bin: a filter cuts it off.
constexpr double kCutOffDb = 40.0;
// Band noise is taken no lower than this, so that a clean file gives finite numbers.
constexpr double kNoiseFloor = 1e-16;

int32_t BinAt(double hz, int32_t rate) {
  return static_cast<int32_t>(std::lround(hz * kFrame / rate));
}

int32_t FirstBinFrom(double hz, int32_t rate) {
  return static_cast<int32_t>(std::ceil(hz * kFrame / rate));
}

int32_t LastBinTo(double hz, int32_t rate) {
  return std::min(static_cast<int32_t>(std::floor(hz * kFrame / rate)), kTopBin);
}

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0.0;
  }
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The value a quarter of the list lies above.
double UpperQuartile(std::vector<double> values) {
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) * 3 / 4];
}

double Sum(const std::vector<float>& powers, int32_t first, int32_t last) {
  double sum = 0.0;
  for (int32_t k = std::max(first, 0); k <= last; ++k) {
    sum += powers[k];
  }
  return sum;
}

// Spectrogram, levels and the per-stretch tone table.
void MeasureLevels(const std::vector<float>& samples, int32_t rate, Report& report) {
  Spectrogram& picture = report.spectrogram;
  picture.firstBin = FirstBinFrom(kPictureLow, rate);
  picture.lastBin = LastBinTo(kPictureHigh, rate);
  for (int i = 0; i < kTones; ++i) {
    picture.toneBins[i] = std::min(BinAt(kFirstTone + i * kToneStep, rate), kTopBin);
  }
  const int64_t frames = static_cast<int64_t>(samples.size());
  if (frames < kFrame) {
    return;
  }
  while ((frames - kFrame) / picture.hop + 1 > kMaxColumns) {
    picture.hop *= 2;
  }
  picture.columns = static_cast<int32_t>((frames - kFrame) / picture.hop + 1);
  const int32_t bins = std::max(picture.lastBin - picture.firstBin + 1, 0);
  picture.db.resize(static_cast<size_t>(picture.columns) * bins);

  const int32_t bandFirst = FirstBinFrom(kBandLow, rate);
  const int32_t bandLast = LastBinTo(kBandHigh, rate);
  const int32_t referenceFirst = FirstBinFrom(kReferenceLow, rate);
  const int32_t referenceLast = LastBinTo(kReferenceHigh, rate);
  // Noise bins: the picture's bins apart from the tones and their next neighbours, which the
  // window lets a tone spill into.
  std::vector<int32_t> noiseBins;
  for (int32_t k = picture.firstBin; k <= picture.lastBin; ++k) {
    if (k < picture.toneBins[0] - 1 || k > picture.toneBins[kTones - 1] + 1) {
      noiseBins.push_back(k);
    }
  }

  const double rowFrames = kRowSeconds * rate;
  const size_t rowCount =
      static_cast<size_t>(((picture.columns - 1) * static_cast<double>(picture.hop) + kFrame / 2) /
                          rowFrames) +
      1;
  // Two readings of every frame. Without a window, as the detector reads its frames: the tones
  // and the noise between them, so that a steady tone does not show in its neighbours' bins and
  // the noise holds what spills into the detector's bins. With Hann's window: the picture and
  // the band levels, which the window keeps from being flooded by the spill of loud low sounds.
  FrameSpectrum hann(FrameSpectrum::Window::kHann);
  FrameSpectrum plain(FrameSpectrum::Window::kNone);
  std::vector<std::vector<double>> rowNoise(rowCount, std::vector<double>(noiseBins.size()));
  std::vector<std::vector<double>> rowTones(rowCount, std::vector<double>(kTones));
  std::vector<int32_t> rowColumns(rowCount);
  std::vector<double> fileNoise(noiseBins.size());
  double file = 0.0;
  double band = 0.0;
  double reference = 0.0;
  for (int32_t c = 0; c < picture.columns; ++c) {
    const int64_t start = static_cast<int64_t>(c) * picture.hop;
    const size_t row = static_cast<size_t>((start + kFrame / 2) / rowFrames);
    ++rowColumns[row];
    const std::vector<float>& smooth = hann.Analyse(samples.data() + start);
    for (int32_t k = 0; k < bins; ++k) {
      picture.db[static_cast<size_t>(c) * bins + k] =
          static_cast<float>(FrameSpectrum::Db(smooth[picture.firstBin + k]));
    }
    file += Sum(smooth, 1, kTopBin);
    band += Sum(smooth, bandFirst, bandLast);
    reference += Sum(smooth, referenceFirst, referenceLast);
    const std::vector<float>& powers = plain.Analyse(samples.data() + start);
    for (int i = 0; i < kTones; ++i) {
      rowTones[row][i] += powers[picture.toneBins[i]];
    }
    for (size_t j = 0; j < noiseBins.size(); ++j) {
      rowNoise[row][j] += powers[noiseBins[j]];
      fileNoise[j] += powers[noiseBins[j]];
    }
  }
  // Summed bins over the window's spread: the power of the band against a full-scale sine's.
  const double columns = picture.columns;
  const double spread = hann.WindowBins();
  report.fileDb = FrameSpectrum::Db(file / columns / spread);
  report.bandDb = FrameSpectrum::Db(band / columns / spread);
  if (bandLast >= bandFirst) {
    report.bandBinDb = FrameSpectrum::Db(band / columns / spread / (bandLast - bandFirst + 1));
  }
  if (referenceLast >= referenceFirst) {
    report.referenceDb =
        FrameSpectrum::Db(reference / columns / spread / (referenceLast - referenceFirst + 1));
  }
  if (noiseBins.empty()) {
    return;  // the rate holds no band to measure
  }

  for (double& power : fileNoise) {
    power /= columns;
  }
  report.noiseDb = FrameSpectrum::Db(std::max(Median(fileNoise), kNoiseFloor));
  std::vector<double> standOut;
  for (size_t row = 0; row < rowCount; ++row) {
    const double count = rowColumns[row];
    if (count == 0) {
      continue;
    }
    LevelRow level;
    level.start = row * kRowSeconds;
    for (double& power : rowNoise[row]) {
      power /= count;
    }
    level.noiseDb = FrameSpectrum::Db(std::max(Median(rowNoise[row]), kNoiseFloor));
    double loudest = 0.0;
    for (int i = 0; i < kTones; ++i) {
      const double power = rowTones[row][i] / count;
      level.toneDb[i] = FrameSpectrum::Db(std::max(power, kNoiseFloor)) - level.noiseDb;
      loudest = std::max(loudest, power);
    }
    standOut.push_back(loudest > kNoiseFloor ? FrameSpectrum::Db(loudest) - level.noiseDb : 0.0);
    report.rows.push_back(level);
  }
  report.toneAboveNoiseDb = UpperQuartile(standOut);
}

// The ten decoders of the receiver's sink and their vote, fed as a capture feeds them.
void RunDecoders(const std::vector<float>& samples, int32_t rate, int32_t bufferFrames,
                 Report& report) {
  ModemParams* params = CreateModemParams(static_cast<float>(rate), kEncodedKeyBytes);
  std::vector<ToneDetector*> detectors(kDecoders);
  std::vector<bool> waiting(kDecoders, true);  // no packet yet
  report.decoders.resize(kDecoders);
  for (int d = 0; d < kDecoders; ++d) {
    report.decoders[d].number = d + 1;
    report.decoders[d].delay = d * kStagger;
    detectors[d] = ToneDetector::Create(params);
  }
  std::map<std::string, int> votes;
  std::map<std::string, int> firstVoter;
  const int64_t frames = static_cast<int64_t>(samples.size());
  for (int64_t start = 0; start < frames; start += bufferFrames) {
    const int64_t end = std::min<int64_t>(start + bufferFrames, frames);
    for (int d = 0; d < kDecoders; ++d) {
      DecoderReport& decoder = report.decoders[d];
      const int64_t from = std::max(start, decoder.delay);
      if (!waiting[d] || from >= end) {
        continue;
      }
      ToneDetector* detector = detectors[d];
      if (ToneDetector::Feed(detector, samples.data() + from, static_cast<int32_t>(end - from)) ==
          0) {
        continue;
      }
      // The window is complete (or, on later buffers, its last frame was read again).
      const bool again = decoder.complete;
      decoder.complete = true;
      std::copy(detector->phaseScores, detector->phaseScores + kPhases, decoder.phaseScores);
      int32_t best = 0;
      MaxIndex(detector->phaseScores, kPhases, &best);
      decoder.bestPhase = best;
      const uint32_t* row =
          detector->toneIndexes + static_cast<size_t>(best) * detector->slotsPerPhase;
      decoder.tones.assign(row, row + detector->slotsPerPhase);
      uint8_t packet[kEncodedKeyBytes];
      const int32_t n = ToneDetector::Decode(detector, packet);
      if (n < 0) {
        continue;  // no separator: the sink keeps feeding it
      }
      waiting[d] = false;
      decoder.packet = true;
      decoder.late = again;
      decoder.packetFrame = end;
      decoder.bytes.assign(packet, packet + n);
      // The sink keeps a packet as text: a zero byte ends it.
      const size_t length = strnlen(reinterpret_cast<const char*>(packet), n);
      std::string key;
      if (!ShareKeyEncoder::Decode(std::string(reinterpret_cast<const char*>(packet), length),
                                   &key)) {
        continue;
      }
      decoder.key = key;
      decoder.votes = ++votes[key];
      if (decoder.votes == 1) {
        firstVoter[key] = decoder.number;
      }
      decoder.accepting = decoder.votes == kAcceptVotes;
      if (decoder.accepting && report.acceptedFrame < 0) {
        report.acceptedKey = key;
        report.acceptedFrame = end;
        report.acceptedBy[0] = firstVoter[key];
        report.acceptedBy[1] = decoder.number;
      }
    }
  }
  for (ToneDetector* detector : detectors) {
    ToneDetector::Free(detector);
  }
  DestroyModemParams(params);
}

std::string Format(const char* format, double a, double b = 0.0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Why no two decoders agreed: the votes cast and what became of the other windows.
std::string Disagreement(const Report& report) {
  std::map<std::string, int> votes;
  int noSeparator = 0;
  int checkFailed = 0;
  int unfinished = 0;
  for (const DecoderReport& decoder : report.decoders) {
    if (!decoder.complete) {
      ++unfinished;
    } else if (!decoder.packet) {
      ++noSeparator;
    } else if (decoder.key.empty()) {
      ++checkFailed;
    } else {
      votes[decoder.key] = decoder.votes;
    }
  }
  std::string text = "no two decoders agree (";
  for (const auto& vote : votes) {
    text += vote.first + " " + std::to_string(vote.second) + ", ";
  }
  text += std::to_string(noSeparator) + " without a separator, " + std::to_string(checkFailed) +
          " failed the check";
  if (unfinished > 0) {
    text += ", " + std::to_string(unfinished) + " past the end of the file";
  }
  return text + ")";
}

std::string Agreement(const Report& report) {
  return "decoders " + std::to_string(report.acceptedBy[0]) + " and " +
         std::to_string(report.acceptedBy[1]) + " agree on " + report.acceptedKey +
         Format(" at %.2f s", static_cast<double>(report.acceptedFrame) / report.sampleRate);
}

std::string Verdict(const Report& report) {
  const bool accepted = report.acceptedFrame >= 0;
  if (report.sampleRate != kReceiveRate) {
    std::string text = "sample rate " + std::to_string(report.sampleRate) +
                       " Hz: the receiver needs " + std::to_string(kReceiveRate) + " Hz";
    return accepted ? text + " (" + Agreement(report) + " even so)" : text;
  }
  const std::string tones = Format("tones %.0f dB above the band noise", report.toneAboveNoiseDb);
  if (accepted) {
    return tones + "; " + Agreement(report);
  }
  const double needed = static_cast<double>(kStagger + kWindowFrames + 1) / report.sampleRate;
  const double length = static_cast<double>(report.frames) / report.sampleRate;
  const std::string tooShort =
      Format("the file is %.2f s long: the receiver needs %.2f s to accept a key", length, needed);
  if (report.spectrogram.columns == 0) {
    return tooShort;
  }
  if (report.bandDb < kNoEnergyDb) {
    if (report.fileDb < kNoEnergyDb) {
      return "no energy between 19.1 and 19.9 kHz: the whole file is silent (a muted or "
             "disconnected microphone?)";
    }
    return "no energy between 19.1 and 19.9 kHz: the speaker or microphone cuts ultrasound";
  }
  if (length < needed) {
    return tooShort;
  }
  if (report.toneAboveNoiseDb < kTonesSeenDb) {
    if (report.referenceDb - report.bandBinDb > kCutOffDb) {
      return Format(
          "almost no energy between 19.1 and 19.9 kHz (%.0f dB below 12 to 16 kHz): the "
          "speaker or microphone cuts ultrasound",
          report.referenceDb - report.bandBinDb);
    }
    return Format("no tones above the band noise (%.0f dBFS between 19.1 and 19.9 kHz); ",
                  report.bandDb) +
           Disagreement(report);
  }
  return tones + ", but " + Disagreement(report);
}
}  // namespace

Report Analyze(const std::vector<float>& samples, int32_t sampleRate, int32_t bufferFrames) {
  Report report;
  report.sampleRate = sampleRate;
  report.frames = static_cast<int64_t>(samples.size());
  MeasureLevels(samples, sampleRate, report);
  RunDecoders(samples, sampleRate, bufferFrames, report);
  report.verdict = Verdict(report);
  return report;
}

}  // namespace analyze
