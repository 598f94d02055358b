#include "tools/hov/Analyze.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "hov/modem.h"
#include "tools/hov/FrameSpectrum.h"

namespace analyze {
namespace {
constexpr int32_t kFrame = FrameSpectrum::kLength;
constexpr int32_t kTopBin = FrameSpectrum::kBins - 1;
constexpr int32_t kMaxColumns = 8000;
constexpr double kPictureLow = 18500.0;
constexpr double kPictureHigh = 20500.0;
constexpr double kReferenceLow = 12000.0;
constexpr double kReferenceHigh = 16000.0;
constexpr float kFullScale = 32768.0f;
// Below this the band holds nothing a microphone would pick up (dB against a full-scale sine).
constexpr double kNoEnergyDb = -90.0;
// Noise alone lifts the strongest of 16 bins a few dB over the median; tones stand out beyond.
constexpr double kTonesSeenDb = 10.0;
// The band this far below 12 to 16 kHz, per bin: a filter cuts it off.
constexpr double kCutOffDb = 40.0;
// Band noise is taken no lower than this, so that a clean file gives finite numbers.
constexpr double kNoiseFloor = 1e-16;

// The signal's numbers and the receiver's, as the modem library has them.
hov_modem_format OnAir() {
  hov_modem_format format;
  hov_modem_get_format(&format);
  return format;
}

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
  const hov_modem_format format = OnAir();
  Spectrogram& picture = report.spectrogram;
  picture.firstBin = FirstBinFrom(kPictureLow, rate);
  picture.lastBin = LastBinTo(kPictureHigh, rate);
  for (int i = 0; i < kTones; ++i) {
    picture.toneBins[i] =
        std::min(BinAt(format.first_tone_hz + i * format.tone_step_hz, rate), kTopBin);
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

  const int32_t bandFirst = FirstBinFrom(format.band_low_hz, rate);
  const int32_t bandLast = LastBinTo(format.band_high_hz, rate);
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

// The receiver's decoders and their vote, as the modem library runs them on the file: each
// window report fills in its decoder's line, with frames counted in the file's own rate.
struct DecoderRun {
  Report* report;
  double toFile;  // file frames per frame of the receiver's stream
  std::map<std::string, int> firstVoter;

  static void OnWindow(void* context, const hov_modem_window* w) {
    DecoderRun* run = static_cast<DecoderRun*>(context);
    Report& report = *run->report;
    DecoderReport& decoder = report.decoders[static_cast<size_t>(w->decoder - 1)];
    decoder.complete = true;
    std::copy(w->phase_scores, w->phase_scores + kPhases, decoder.phaseScores);
    decoder.bestPhase = w->best_phase;
    decoder.tones.assign(w->tones, w->tones + w->tone_count);
    if (!w->packet) {
      return;  // no separator: the sink keeps feeding it
    }
    decoder.packet = true;
    decoder.late = w->repeated != 0;
    decoder.packetFrame = run->FileFrame(w->frame);
    decoder.bytes.assign(w->bytes, w->bytes + 4);
    decoder.key = w->key;
    decoder.votes = w->votes;
    if (w->votes == 1) {
      run->firstVoter[decoder.key] = decoder.number;
    }
    decoder.accepting = w->accepted != 0;
    if (decoder.accepting) {
      report.acceptedKey = decoder.key;
      report.acceptedBy[0] = run->firstVoter[decoder.key];
      report.acceptedBy[1] = decoder.number;
    }
  }

  int64_t FileFrame(int64_t streamFrame) const {
    return std::llround(static_cast<double>(streamFrame) * toFile);
  }
};

void RunDecoders(const std::vector<float>& samples, int32_t rate, int32_t bufferFrames,
                 int receiver, Report& report) {
  const hov_modem_format format = OnAir();
  DecoderRun run{&report, static_cast<double>(rate) / format.sample_rate, {}};
  report.windowFrames = run.FileFrame(format.window_frames);
  report.frameFrames = format.frame_length * run.toFile;
  report.decoders.resize(kDecoders);
  for (int d = 0; d < kDecoders; ++d) {
    report.decoders[d].number = d + 1;
    report.decoders[d].delay = run.FileFrame(static_cast<int64_t>(d) * format.decoder_stagger);
  }
  hov_modem_decoder* decoder = nullptr;
  if (hov_modem_decoder_create(rate, receiver, &decoder) != HOV_MODEM_OK) {
    return;
  }
  hov_modem_decoder_set_inspector(decoder, &DecoderRun::OnWindow, &run);
  std::vector<float> chunk;
  hov_modem_result result = {};
  for (size_t start = 0; start < samples.size(); start += bufferFrames) {
    const size_t n = std::min(samples.size() - start, static_cast<size_t>(bufferFrames));
    // Samples in 16-bit units back to full scale at 1.0: exact, a power of two.
    chunk.assign(samples.begin() + start, samples.begin() + start + n);
    for (float& sample : chunk) {
      sample /= kFullScale;
    }
    hov_modem_decoder_write_f32(decoder, chunk.data(), n, &result);
    if (result.code != HOV_MODEM_RESULT_LISTENING) {
      break;
    }
  }
  if (result.code == HOV_MODEM_RESULT_KEY) {
    report.acceptedFrame = result.frame;
  }
  hov_modem_decoder_destroy(decoder);
}

// The robust receiver on the file at the file's own rate: its result and its last search.
void RunRobust(const std::vector<float>& samples, int32_t rate, int32_t bufferFrames,
               Report& report) {
  report.robust = true;
  hov_modem_decoder* decoder = nullptr;
  if (hov_modem_decoder_create(rate, HOV_MODEM_RECEIVER_ROBUST, &decoder) != HOV_MODEM_OK) {
    return;
  }
  std::vector<float> chunk;
  hov_modem_result result = {};
  for (size_t start = 0; start < samples.size(); start += bufferFrames) {
    const size_t n = std::min(samples.size() - start, static_cast<size_t>(bufferFrames));
    chunk.assign(samples.begin() + start, samples.begin() + start + n);
    for (float& sample : chunk) {
      sample /= kFullScale;
    }
    hov_modem_decoder_write_f32(decoder, chunk.data(), n, &result);
    if (result.code != HOV_MODEM_RESULT_LISTENING) {
      break;
    }
  }
  hov_modem_decoder_robust_view(decoder, &report.robustView);
  if (result.code == HOV_MODEM_RESULT_KEY) {
    report.acceptedKey = result.key;
    report.acceptedFrame = result.frame;
  }
  hov_modem_decoder_destroy(decoder);
}

std::string Format(const char* format, double a, double b = 0.0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Why no two decoders agreed: the votes cast and what became of the other windows.
std::string Disagreement(const Report& report) {
  if (report.robust) {
    const hov_modem_robust_view& v = report.robustView;
    return std::string("the robust receiver refused its best reading (") + v.verdict +
           Format(", smallest margin %.1f)", v.min_margin);
  }
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
  if (report.robust) {
    const hov_modem_robust_view& v = report.robustView;
    return "the robust receiver heard " + report.acceptedKey +
           Format(" at %.2f s", static_cast<double>(report.acceptedFrame) / report.sampleRate) +
           Format(" (clock offset %+.0f ppm, ", v.offset_ppm) + std::to_string(v.repetitions) +
           Format(" packets summed, smallest margin %.1f)", v.min_margin);
  }
  return "decoders " + std::to_string(report.acceptedBy[0]) + " and " +
         std::to_string(report.acceptedBy[1]) + " agree on " + report.acceptedKey +
         Format(" at %.2f s", static_cast<double>(report.acceptedFrame) / report.sampleRate);
}

std::string LevelsAndVote(const Report& report) {
  const bool accepted = report.acceptedFrame >= 0;
  const std::string tones = Format("tones %.0f dB above the band noise", report.toneAboveNoiseDb);
  if (accepted) {
    return tones + "; " + Agreement(report);
  }
  // The second decoder has its packet with the frame after its window.
  const hov_modem_format format = OnAir();
  const double needed =
      static_cast<double>(format.decoder_stagger + format.window_frames + 1) / format.sample_rate;
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
  if (length < needed && !report.robust) {
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
std::string Verdict(const Report& report) {
  const int receiverRate = OnAir().sample_rate;
  if (report.sampleRate == receiverRate || report.robust) {
    return LevelsAndVote(report);
  }
  return "resampled from " + std::to_string(report.sampleRate) + " to " +
         std::to_string(receiverRate) + " Hz; " + LevelsAndVote(report);
}
}  // namespace

Report Analyze(const std::vector<float>& samples, int32_t sampleRate, int32_t bufferFrames,
               int receiver) {
  Report report;
  report.sampleRate = sampleRate;
  report.frames = static_cast<int64_t>(samples.size());
  MeasureLevels(samples, sampleRate, report);
  if (receiver == HOV_MODEM_RECEIVER_ROBUST) {
    RunRobust(samples, sampleRate, bufferFrames, report);
  } else {
    RunDecoders(samples, sampleRate, bufferFrames, receiver, report);
  }
  report.verdict = Verdict(report);
  return report;
}

}  // namespace analyze
